#pragma once
// Which client serves a record. NetworkFileManager makes every client through makeClient.
#include "ostrane/OstraneClient.hpp"

#include <functional>
#include <memory>

namespace Ostrane {

/// A new client for a copy of `info`, chosen by `info.type`; never null. Making a client does not
/// log in, and records that are not valid still get one.
std::shared_ptr<OstraneClient> makeClient(const OstraneInfo& info);

using ClientMaker = std::function<std::shared_ptr<OstraneClient>(const OstraneInfo&)>;

/// For tests: makeClient asks `maker` instead (a null result falls back to the built-in clients).
/// An empty maker restores the built-in clients. Returns the maker it replaced.
ClientMaker replaceClientMaker(ClientMaker maker);

}  // namespace Ostrane
