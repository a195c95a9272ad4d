#pragma once
// Process exit with FTP transfers running: the exit handlers stop every transfer at its next wait
// (a fraction of a second) before the crypto library is torn down under it, and wait for them to
// leave the network code, for a bounded time. Work that finds the process exiting ends without
// calling anyone back: the caller that would hear it is gone.
namespace Ostrane {

class TransferActivity {
public:
    /// Counts a transfer as running until destroyed.
    TransferActivity();
    ~TransferActivity();
    TransferActivity(const TransferActivity&) = delete;
    TransferActivity& operator=(const TransferActivity&) = delete;

    /// Initialises libcurl and OpenSSL once and sets up the exit handler after theirs.
    static void prepare();
    /// Whether the process has begun to exit: stop, touch nothing shared, report nothing.
    static bool exiting();
    /// Whether the exit handlers have passed the point after which libcurl and OpenSSL may be torn
    /// down: what is left of theirs is left to the exit.
    static bool librariesGone();
};

}  // namespace Ostrane
