// Member resolution: a bundle member is asked for by its short name and found
// under it or under its descriptive alias. A pure path rule, kept below every
// reader of a bundle directory (the bundle loader, the teeth members) so that
// both resolve names one way.
#pragma once

#include <string>

namespace le {

// The descriptive alias of a requested member name, or name itself when it has none.
std::string memberAlias(const std::string& name);

// dir/name for a member name taken from a manifest or a host. A name that
// could leave the directory (starting with '/' or '\\', holding ".." or a zero
// byte) throws dir + ": refusing unsafe member name '" + name + "'".
std::string memberPath(const std::string& dir, const std::string& name);

// The path of a member (its name checked as memberPath does): dir/name when it can be opened or has no alias, else
// dir/alias when that can be opened, else dir/name. Never throws for a missing file.
std::string resolveMember(const std::string& dir, const std::string& name);

}  // namespace le
