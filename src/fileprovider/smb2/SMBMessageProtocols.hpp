// The shapes of SMB2 message parts. Headers and bodies are plain values with their wire layout, so
// the shapes are concepts, checked where a type is used; the client's request and reply stacks hold
// any body of the right shape through the type-erasing AnySMBRequestBody and AnySMBResponseBody.
#pragma once

#include "fileprovider/smb2/SMB2Header.hpp"
#include "fileprovider/smb2/SMB2TreeConnectResponse.hpp"
#include "fileprovider/smb2/SMB2Types.hpp"
#include "platform/data/Value.hpp"

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace RiridOzizevud {

/// A packet header: its wire bytes, and the protocol identifier all its packets begin with.
template <class T>
concept FileProviderSMBHeader = requires(const T& header) {
    { header.data() } -> std::same_as<platform::Data>;
    { T::protocolConst } -> std::convertible_to<uint32_t>;
};

/// A request body: the command it belongs to, and its wire bytes.
template <class T>
concept SMBRequestBody = requires(const T& body) {
    { T::command } -> std::convertible_to<SMB2::Command>;
    { body.data() } -> std::same_as<platform::Data>;
};

/// A reply body, read from the bytes after the header (no value when they do not hold one).
template <class T>
concept SMBResponseBody = requires(const platform::Data& data) {
    { T::fromData(data) } -> std::same_as<std::optional<T>>;
};

template <class T>
concept IOCtlRequestProtocol = SMBRequestBody<T>;

template <class T>
concept IOCtlResponseProtocol = SMBResponseBody<T>;

/// One record of a directory listing reply.
template <class T>
concept SMB2FilesInformationHeader = SMBResponseBody<T> && requires(const T& record) {
    { record.nextEntryOffset() } -> std::convertible_to<uint32_t>;
    { record.fileIndex() } -> std::convertible_to<uint32_t>;
    { record.fileName() } -> std::convertible_to<std::string>;
};

static_assert(FileProviderSMBHeader<SMB2::Header>);
static_assert(SMBResponseBody<SMB2::TreeConnectResponse>);

/// Any request body.
class AnySMBRequestBody {
public:
    template <SMBRequestBody T>
    AnySMBRequestBody(T body) : box_(std::make_shared<const Box<T>>(std::move(body))) {}

    SMB2::Command command() const { return box_->command(); }
    platform::Data data() const { return box_->data(); }
    /// The body when it is a T.
    template <class T>
    const T* as() const {
        const auto* box = dynamic_cast<const Box<T>*>(box_.get());
        return box ? &box->value : nullptr;
    }

private:
    struct Base {
        virtual ~Base() = default;
        virtual SMB2::Command command() const = 0;
        virtual platform::Data data() const = 0;
    };
    template <class T>
    struct Box final : Base {
        explicit Box(T v) : value(std::move(v)) {}
        SMB2::Command command() const override { return T::command; }
        platform::Data data() const override { return value.data(); }
        T value;
    };
    std::shared_ptr<const Base> box_;
};

/// Any reply body.
class AnySMBResponseBody {
public:
    template <SMBResponseBody T>
    AnySMBResponseBody(T body) : box_(std::make_shared<const Box<T>>(std::move(body))) {}

    /// The body when it is a T.
    template <class T>
    const T* as() const {
        const auto* box = dynamic_cast<const Box<T>*>(box_.get());
        return box ? &box->value : nullptr;
    }

private:
    struct Base {
        virtual ~Base() = default;
    };
    template <class T>
    struct Box final : Base {
        explicit Box(T v) : value(std::move(v)) {}
        T value;
    };
    std::shared_ptr<const Base> box_;
};

} // namespace RiridOzizevud
