#include "engine/remote/remote_url.h"

#include <curl/curl.h>

#include <memory>

#include "engine/remote/response_headers.h"

namespace RemoteURL {
namespace {

struct FreeURL {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using URLHandle = std::unique_ptr<CURLU, FreeURL>;

URLHandle parse(std::string_view url) {
  URLHandle handle(curl_url());
  if (!handle) return nullptr;
  const std::string text(url);
  if (text.find('\0') != std::string::npos) return nullptr;
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return nullptr;
  return handle;
}

std::optional<std::string> part(CURLU* url, CURLUPart which, unsigned int flags = 0) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, flags) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string out(value);
  curl_free(value);
  return out;
}

}  // namespace

std::optional<std::string> scheme(std::string_view url) {
  URLHandle handle = parse(url);
  if (!handle) return std::nullopt;
  std::optional<std::string> value = part(handle.get(), CURLUPART_SCHEME);
  if (!value) return std::nullopt;
  return RemoteHeaders::lowercased(*value);
}

std::optional<std::string> host(std::string_view url) {
  URLHandle handle = parse(url);
  if (!handle) return std::nullopt;
  std::optional<std::string> value = part(handle.get(), CURLUPART_HOST);
  if (!value || value->empty()) return std::nullopt;
  return RemoteHeaders::lowercased(*value);
}

std::optional<std::string> origin(std::string_view url) {
  URLHandle handle = parse(url);
  if (!handle) return std::nullopt;
  const std::optional<std::string> schemeValue = part(handle.get(), CURLUPART_SCHEME);
  const std::optional<std::string> hostValue = part(handle.get(), CURLUPART_HOST);
  const std::optional<std::string> portValue =
      part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!schemeValue || !hostValue || hostValue->empty() || !portValue) return std::nullopt;
  return RemoteHeaders::lowercased(*schemeValue) + "://" + RemoteHeaders::lowercased(*hostValue) +
         ":" + *portValue;
}

std::optional<std::string> resolve(std::string_view base, std::string_view reference) {
  URLHandle handle = parse(base);
  if (!handle) return std::nullopt;
  const std::string text(reference);
  if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
  return part(handle.get(), CURLUPART_URL);
}

std::string redacted(const std::optional<std::string>& url) {
  if (!url) return "<unknown>";
  URLHandle handle = parse(*url);
  if (!handle) return "<redacted>";
  for (CURLUPart which : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS, CURLUPART_QUERY,
                          CURLUPART_FRAGMENT}) {
    if (curl_url_set(handle.get(), which, nullptr, 0) != CURLUE_OK) return "<redacted>";
  }
  return part(handle.get(), CURLUPART_URL).value_or("<redacted>");
}

std::string encodedPathComponent(std::string_view component) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(component.size());
  for (const char c : component) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

}  // namespace RemoteURL
