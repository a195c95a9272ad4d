#pragma once
// A test program that needs the Secret Service calls this from main(): the first time it starts
// itself again inside tests/servers/secret-service-session (a private bus with an unlocked GNOME
// Keyring), which stops the keyring when the program ends.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace keychain_test {

inline int runTestsInSecretServiceSession(int argc, char** argv) {
    if (!std::getenv("OSTRANE_SECRET_SERVICE_INNER")) {
        char self[PATH_MAX] = {};
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) {
            std::perror("readlink /proc/self/exe");
            return 1;
        }
        std::string script = std::string(OSTRANE_SOURCE_DIR) + "/tests/servers/secret-service-session";
        std::vector<char*> args{script.data(), self};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        std::fflush(stdout);
        execv(script.c_str(), args.data());
        std::perror(("cannot run " + script).c_str());
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace keychain_test
