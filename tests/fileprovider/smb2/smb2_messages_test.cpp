// test-labels: unit
#include "fileprovider/smb2/SMB2Header.hpp"
#include "fileprovider/smb2/SMB2TreeConnectResponse.hpp"
#include "fileprovider/smb2/SMBMessageProtocols.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>
#include <unordered_set>

using namespace RiridOzizevud;
using SMB2::Command;
using SMB2::FileAccessMask;
using SMB2::Flags;
using SMB2::Header;
using SMB2::TreeConnectResponse;

static_assert(Option<NTStatus>);
static_assert(Option<Command>);
static_assert(Option<Flags>);
static_assert(Option<FileAccessMask>);
static_assert(Option<TreeConnectResponse::ShareFlags>);
static_assert(Option<TreeConnectResponse::Capabilities>);
// The values themselves have the wire layout, so they can be copied to and from packet bytes.
static_assert(std::is_trivially_copyable_v<Header> && std::is_standard_layout_v<Header>);
static_assert(std::is_trivially_copyable_v<TreeConnectResponse> && std::is_standard_layout_v<TreeConnectResponse>);
static_assert(sizeof(Header) == 64 && sizeof(TreeConnectResponse) == 16);

namespace {

Header sampleHeader() {
    return Header(Header::protocolConst, 64, 1, NTStatus(0xC0000022), Command::treeConnect, 31,
                  Flags{Flags::serverToRedir, Flags::signed_}, 0x11223344, 0x0102030405060708, 0xAABBCCDD, 0x55667788,
                  0x8877665544332211, {0x1111111111111111, 0xFEDCBA9876543210});
}

// Bytes as a packet carries them, least significant first.
platform::Data sampleHeaderBytes() {
    return {0xFE, 'S',  'M',  'B',                           // protocolID
            0x40, 0x00,                                      // size 64
            0x01, 0x00,                                      // creditCharge
            0x22, 0x00, 0x00, 0xC0,                          // status
            0x03, 0x00,                                      // command: tree connect
            0x1F, 0x00,                                      // creditRequestResponse 31
            0x09, 0x00, 0x00, 0x00,                          // flags
            0x44, 0x33, 0x22, 0x11,                          // nextCommand
            0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // messageId
            0xDD, 0xCC, 0xBB, 0xAA,                          // reserved
            0x88, 0x77, 0x66, 0x55,                          // treeId
            0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // sessionId
            0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,  // signature, first word
            0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}; // signature, second word
}

} // namespace

TEST(SMB2Header, WireBytesAreLittleEndianInFieldOrder) {
    const Header header = sampleHeader();
    EXPECT_EQ(header.data(), sampleHeaderBytes());
    // On this (little-endian) host the value's own memory is the packet.
    platform::Data memory(sizeof(Header));
    std::memcpy(memory.data(), &header, sizeof(Header));
    EXPECT_EQ(memory, sampleHeaderBytes());
}

TEST(SMB2Header, ReadsWhatItWrites) {
    const auto read = Header::fromData(sampleHeaderBytes());
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, sampleHeader());
    EXPECT_EQ(read->status().description(), "Access denied.");
    EXPECT_EQ(read->command(), Command::treeConnect);
    EXPECT_TRUE(read->flags().contains(Flags::signed_));
    EXPECT_EQ(read->signature()[1], 0xFEDCBA9876543210u);

    // A body after the header is no concern of the header's.
    platform::Data longer = sampleHeaderBytes();
    longer.insert(longer.end(), {9, 0, 0, 0});
    EXPECT_EQ(Header::fromData(longer), sampleHeader());
}

TEST(SMB2Header, RefusesWhatIsNoSMB2Header) {
    platform::Data shortData = sampleHeaderBytes();
    shortData.pop_back();
    EXPECT_FALSE(Header::fromData(shortData));
    EXPECT_FALSE(Header::fromData({}));
    platform::Data smb1 = sampleHeaderBytes();
    smb1[0] = 0xFF;  // an SMB1 packet
    EXPECT_FALSE(Header::fromData(smb1));
}

TEST(SMB2Header, OnlyNextCommandChanges) {
    Header header = sampleHeader();
    header.setNextCommand(128);
    EXPECT_EQ(header.nextCommand(), 128u);
    const platform::Data bytes = header.data();
    EXPECT_EQ((platform::Data{bytes.begin() + 20, bytes.begin() + 24}), (platform::Data{0x80, 0, 0, 0}));
    EXPECT_NE(header, sampleHeader());
}

TEST(SMB2TreeConnectResponse, ReadsTheSixteenByteBody) {
    const platform::Data body = {0x10, 0x00,               // size 16
                                 0x01,                     // disk share
                                 0x00,                     // reserved
                                 0x31, 0x08, 0x00, 0x00,   // flags
                                 0x48, 0x00, 0x00, 0x00,   // capabilities
                                 0xFF, 0x01, 0x1F, 0x00};  // maximal access
    const auto reply = TreeConnectResponse::fromData(body);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 16);
    EXPECT_EQ(reply->_type(), 1);
    EXPECT_EQ(reply->reserved(), 0);
    using ShareFlags = TreeConnectResponse::ShareFlags;
    using Capabilities = TreeConnectResponse::Capabilities;
    EXPECT_EQ(reply->flags(), (ShareFlags{ShareFlags::dfs, ShareFlags::noCaching, ShareFlags::accessBasedDirectoryEnum}));
    EXPECT_EQ(reply->capabilities(), (Capabilities{Capabilities::dfs, Capabilities::cluster}));
    EXPECT_EQ(reply->maximalAccess().rawValue(), 0x001F01FFu);
    EXPECT_TRUE(reply->maximalAccess().contains({FileAccessMask::readData, FileAccessMask::writeData,
                                                 FileAccessMask::delete_, FileAccessMask::synchronize}));
    EXPECT_FALSE(reply->maximalAccess().contains(FileAccessMask::genericRead));

    platform::Data memory(sizeof(TreeConnectResponse));
    std::memcpy(memory.data(), &*reply, sizeof(TreeConnectResponse));
    EXPECT_EQ(memory, body);

    EXPECT_FALSE(TreeConnectResponse::fromData(platform::Data(body.begin(), body.end() - 1)));
}

// The bit-set algebra, the same for every set; Flags stands for all of them.
TEST(SMB2BitSets, SetAlgebraOnRawBits) {
    const Flags a{Flags::serverToRedir, Flags::signed_};  // 0x9
    const Flags b{Flags::signed_, Flags::dfsOperation};   // 0x10000008
    EXPECT_EQ(a.rawValue(), 0x9u);
    EXPECT_EQ(a.union_(b).rawValue(), 0x10000009u);
    EXPECT_EQ(a.intersection(b), Flags::signed_);
    EXPECT_EQ(a.symmetricDifference(b).rawValue(), 0x10000001u);
    EXPECT_EQ(a.subtracting(b), Flags::serverToRedir);
    EXPECT_EQ((a | b), a.union_(b));
    EXPECT_EQ((a & b), a.intersection(b));
    EXPECT_EQ((a ^ b), a.symmetricDifference(b));
    EXPECT_EQ((a - b), a.subtracting(b));

    EXPECT_TRUE(a.contains(Flags::signed_));
    EXPECT_FALSE(a.contains(b));  // only some of b's bits
    EXPECT_TRUE(a.isSuperset(Flags::serverToRedir));
    EXPECT_TRUE(Flags::serverToRedir.isSubset(a));
    EXPECT_FALSE(a.isSubset(b));
    EXPECT_TRUE(a.isStrictSuperset(Flags::signed_));
    EXPECT_FALSE(a.isStrictSuperset(a));
    EXPECT_TRUE(a.isDisjoint(Flags::replayOperation));
    EXPECT_FALSE(a.isDisjoint(b));
    EXPECT_TRUE(Flags{}.isEmpty());
    EXPECT_TRUE((Flags{}).isSubset(a));
    EXPECT_FALSE(a.isEmpty());
}

TEST(SMB2BitSets, EmptyMemberListGivesTheEmptySet) {
    EXPECT_EQ(Flags({}).rawValue(), 0u);
    EXPECT_TRUE(FileAccessMask({}).isEmpty());
    EXPECT_TRUE(TreeConnectResponse::ShareFlags({}).isEmpty());
    EXPECT_TRUE(TreeConnectResponse::Capabilities({}).isEmpty());
}

TEST(SMB2BitSets, InsertRemoveAndUpdateReportWhatChanged) {
    Flags flags{Flags::signed_};

    auto [inserted, member] = flags.insert(Flags::signed_);
    EXPECT_FALSE(inserted);  // already there: nothing changes
    EXPECT_EQ(member, Flags::signed_);
    EXPECT_EQ(flags, Flags::signed_);

    std::tie(inserted, member) = flags.insert(Flags::asyncCommand);
    EXPECT_TRUE(inserted);
    EXPECT_EQ(member, Flags::asyncCommand);
    EXPECT_EQ(flags.rawValue(), 0xAu);

    // A member of several bits, only some present, is still an insertion.
    std::tie(inserted, member) = flags.insert(Flags{Flags::signed_, Flags::dfsOperation});
    EXPECT_TRUE(inserted);
    EXPECT_EQ(flags.rawValue(), 0x1000000Au);

    EXPECT_EQ(flags.remove(Flags{Flags::asyncCommand, Flags::replayOperation}), Flags::asyncCommand);
    EXPECT_EQ(flags.rawValue(), 0x10000008u);
    EXPECT_EQ(flags.remove(Flags::replayOperation), std::nullopt);
    EXPECT_EQ(flags.rawValue(), 0x10000008u);

    EXPECT_EQ(flags.update(Flags{Flags::signed_, Flags::serverToRedir}), Flags::signed_);
    EXPECT_EQ(flags.rawValue(), 0x10000009u);
    EXPECT_EQ(flags.update(Flags::relatedOperations), std::nullopt);
    EXPECT_EQ(flags.rawValue(), 0x1000000Du);

    flags.setRawValue(0);
    EXPECT_TRUE(flags.isEmpty());
}

TEST(SMB2RawValues, AnyRawValueIsKeptAndComparedAsIs) {
    EXPECT_EQ(Command(0xFFFF).rawValue(), 0xFFFFu);
    EXPECT_EQ(Command(8), Command::read);
    EXPECT_NE(Command::read, Command::write);
    EXPECT_EQ(Command::oplockBreak.rawValue(), 0x12u);
    EXPECT_EQ(Flags(0xFFFFFFFF).rawValue(), 0xFFFFFFFFu);

    std::unordered_set<Command> commands{Command::create, Command(5), Command::close};
    EXPECT_EQ(commands.size(), 2u);
    std::unordered_set<FileAccessMask> masks{FileAccessMask::genericRead, FileAccessMask(0x80000000)};
    EXPECT_EQ(masks.size(), 1u);
}

namespace {
struct EchoRequest {
    static constexpr Command command = Command::echo;
    platform::Data data() const { return {4, 0, 0, 0}; }
};
} // namespace

TEST(SMBMessageBodies, AnyBodyKeepsItsTypeAndShape) {
    static_assert(SMBRequestBody<EchoRequest> && IOCtlRequestProtocol<EchoRequest>);
    static_assert(!SMBRequestBody<TreeConnectResponse> && !SMBResponseBody<EchoRequest>);

    const AnySMBRequestBody request = EchoRequest{};
    EXPECT_EQ(request.command(), Command::echo);
    EXPECT_EQ(request.data(), (platform::Data{4, 0, 0, 0}));
    EXPECT_NE(request.as<EchoRequest>(), nullptr);

    const AnySMBResponseBody response = *TreeConnectResponse::fromData(platform::Data(16, 0));
    ASSERT_NE(response.as<TreeConnectResponse>(), nullptr);
    EXPECT_EQ(response.as<TreeConnectResponse>()->size(), 0);
    EXPECT_EQ(response.as<EchoRequest>(), nullptr);
}
