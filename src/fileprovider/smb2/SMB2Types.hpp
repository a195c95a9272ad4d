// RiridOzizevud::SMB2 — the raw-value fields of SMB2 messages: the command code, the header flags
// and the file access mask. Member values are those of the published SMB2 protocol.
#pragma once

#include "fileprovider/smb2/SMBOptionSet.hpp"

#include <cstdint>

namespace RiridOzizevud::SMB2 {

/// The command of a packet; any 16-bit value is accepted.
class Command {
public:
    using RawValue = uint16_t;

    static const Command negotiate;
    static const Command sessionSetup;
    static const Command logoff;
    static const Command treeConnect;
    static const Command treeDisconnect;
    static const Command create;
    static const Command close;
    static const Command flush;
    static const Command read;
    static const Command write;
    static const Command lock;
    static const Command ioctl;
    static const Command cancel;
    static const Command echo;
    static const Command queryDirectory;
    static const Command changeNotify;
    static const Command queryInfo;
    static const Command setInfo;
    static const Command oplockBreak;

    constexpr Command() = default;
    constexpr explicit Command(uint16_t rawValue) : raw_(rawValue) {}
    constexpr uint16_t rawValue() const { return raw_; }

    friend constexpr bool operator==(Command a, Command b) { return a.raw_ == b.raw_; }

private:
    uint16_t raw_ = 0;
};

inline constexpr Command Command::negotiate{0x0000};
inline constexpr Command Command::sessionSetup{0x0001};
inline constexpr Command Command::logoff{0x0002};
inline constexpr Command Command::treeConnect{0x0003};
inline constexpr Command Command::treeDisconnect{0x0004};
inline constexpr Command Command::create{0x0005};
inline constexpr Command Command::close{0x0006};
inline constexpr Command Command::flush{0x0007};
inline constexpr Command Command::read{0x0008};
inline constexpr Command Command::write{0x0009};
inline constexpr Command Command::lock{0x000A};
inline constexpr Command Command::ioctl{0x000B};
inline constexpr Command Command::cancel{0x000C};
inline constexpr Command Command::echo{0x000D};
inline constexpr Command Command::queryDirectory{0x000E};
inline constexpr Command Command::changeNotify{0x000F};
inline constexpr Command Command::queryInfo{0x0010};
inline constexpr Command Command::setInfo{0x0011};
inline constexpr Command Command::oplockBreak{0x0012};

/// Header flags.
class Flags : public SMBOptionSet<Flags, uint32_t> {
public:
    using SMBOptionSet::SMBOptionSet;

    static const Flags serverToRedir;      // a reply
    static const Flags asyncCommand;
    static const Flags relatedOperations;  // compounded with the packet before
    static const Flags signed_;
    static const Flags priorityMask;
    static const Flags dfsOperation;
    static const Flags replayOperation;

    constexpr void setRawValue(uint32_t rawValue) { setRaw(rawValue); }
};

inline constexpr Flags Flags::serverToRedir{0x00000001};
inline constexpr Flags Flags::asyncCommand{0x00000002};
inline constexpr Flags Flags::relatedOperations{0x00000004};
inline constexpr Flags Flags::signed_{0x00000008};
inline constexpr Flags Flags::priorityMask{0x00000070};
inline constexpr Flags Flags::dfsOperation{0x10000000};
inline constexpr Flags Flags::replayOperation{0x20000000};

/// Rights on a file, a pipe or a printer.
class FileAccessMask : public SMBOptionSet<FileAccessMask, uint32_t> {
public:
    using SMBOptionSet::SMBOptionSet;

    static const FileAccessMask readData;
    static const FileAccessMask writeData;
    static const FileAccessMask appendData;
    static const FileAccessMask readExtendedAttributes;
    static const FileAccessMask writeExtendedAttributes;
    static const FileAccessMask execute;
    static const FileAccessMask deleteChild;
    static const FileAccessMask readAttributes;
    static const FileAccessMask writeAttributes;
    static const FileAccessMask delete_;
    static const FileAccessMask readControl;
    static const FileAccessMask writeDAC;
    static const FileAccessMask writeOwner;
    static const FileAccessMask synchronize;
    static const FileAccessMask accessSystemSecurity;
    static const FileAccessMask maximumAllowed;
    static const FileAccessMask genericAll;
    static const FileAccessMask genericExecute;
    static const FileAccessMask genericWrite;
    static const FileAccessMask genericRead;
};

inline constexpr FileAccessMask FileAccessMask::readData{0x00000001};
inline constexpr FileAccessMask FileAccessMask::writeData{0x00000002};
inline constexpr FileAccessMask FileAccessMask::appendData{0x00000004};
inline constexpr FileAccessMask FileAccessMask::readExtendedAttributes{0x00000008};
inline constexpr FileAccessMask FileAccessMask::writeExtendedAttributes{0x00000010};
inline constexpr FileAccessMask FileAccessMask::execute{0x00000020};
inline constexpr FileAccessMask FileAccessMask::deleteChild{0x00000040};
inline constexpr FileAccessMask FileAccessMask::readAttributes{0x00000080};
inline constexpr FileAccessMask FileAccessMask::writeAttributes{0x00000100};
inline constexpr FileAccessMask FileAccessMask::delete_{0x00010000};
inline constexpr FileAccessMask FileAccessMask::readControl{0x00020000};
inline constexpr FileAccessMask FileAccessMask::writeDAC{0x00040000};
inline constexpr FileAccessMask FileAccessMask::writeOwner{0x00080000};
inline constexpr FileAccessMask FileAccessMask::synchronize{0x00100000};
inline constexpr FileAccessMask FileAccessMask::accessSystemSecurity{0x01000000};
inline constexpr FileAccessMask FileAccessMask::maximumAllowed{0x02000000};
inline constexpr FileAccessMask FileAccessMask::genericAll{0x10000000};
inline constexpr FileAccessMask FileAccessMask::genericExecute{0x20000000};
inline constexpr FileAccessMask FileAccessMask::genericWrite{0x40000000};
inline constexpr FileAccessMask FileAccessMask::genericRead{0x80000000};

} // namespace RiridOzizevud::SMB2

template <>
struct std::hash<RiridOzizevud::SMB2::Command> : RiridOzizevud::RawValueHash<RiridOzizevud::SMB2::Command> {};
template <>
struct std::hash<RiridOzizevud::SMB2::Flags> : RiridOzizevud::RawValueHash<RiridOzizevud::SMB2::Flags> {};
template <>
struct std::hash<RiridOzizevud::SMB2::FileAccessMask>
    : RiridOzizevud::RawValueHash<RiridOzizevud::SMB2::FileAccessMask> {};
