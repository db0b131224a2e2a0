// URL handling of the hub client, on libcurl's URL parser. Pure functions,
// safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace RemoteURL {

// The scheme and host of an absolute URL, lower-cased; nothing when the URL
// does not parse or has no such part.
std::optional<std::string> scheme(std::string_view url);
std::optional<std::string> host(std::string_view url);

// The origin of an absolute URL as "scheme://host:port": scheme and host
// lower-cased, an IPv6 literal in brackets, the port always written (the
// scheme's default when the URL names none, so "https://h" and "https://h:443"
// are one origin). User and password are not part of it. Nothing when the URL
// does not parse or has no host. Credentials go only to the origin they were
// given for: another port of the same host is another server.
std::optional<std::string> origin(std::string_view url);

// `reference` (a Location value: absolute, or relative to `base`) resolved
// against `base`; nothing when it does not parse.
std::optional<std::string> resolve(std::string_view base, std::string_view reference);

// The URL as error messages show it: without user, password, query and
// fragment. "<unknown>" for a missing URL, "<redacted>" for one that cannot be
// rebuilt.
std::string redacted(const std::optional<std::string>& url);

// Percent-encodes every byte outside RFC 3986's unreserved set
// (ALPHA / DIGIT / "-" / "." / "_" / "~"), so the result is one path segment.
std::string encodedPathComponent(std::string_view component);

}  // namespace RemoteURL
