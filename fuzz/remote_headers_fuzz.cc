// Arbitrary text as the header values of a ranged response: the number,
// Content-Range and ETag parsers alone, then the whole response check with
// the text as Content-Range and ETag against the range the text names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/common/repack_error.h"
#include "engine/remote/range_transfer.h"
#include "engine/remote/response_headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto value = RemoteHeaders::parseUnsignedDecimal(text)) {
    // Only digits after an optional sign; a minus sign only in front of zeros.
    const std::string_view digits = (text[0] == '+' || text[0] == '-') ? text.substr(1) : text;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
      std::abort();
    }
    if (text[0] == '-' && *value != 0) std::abort();
    if (text[0] != '-' && digits.size() <= 18 && std::stoull(std::string(digits)) != *value) {
      std::abort();
    }
  }
  for (const char separator : {'/', '-'}) {
    const auto pieces = RemoteHeaders::splitOnceDroppingEmpty(text, separator);
    if (pieces.size() > 2) std::abort();
    for (const std::string_view piece : pieces) {
      if (piece.empty()) std::abort();
    }
  }
  if (const auto etag = RemoteHeaders::normalizedStrongETag(text)) {
    if (RemoteHeaders::lowercased(*etag) != *etag) std::abort();
  }

  const std::string value(text);
  const auto range = RemoteHeaders::parseContentRangeBytes(text);
  RemoteRangeExpectation expectation{"shard", 0, 1, 1, value};
  if (range && range->end >= range->start && range->end < range->total) {
    expectation.offset = range->start;
    expectation.length = range->end - range->start + 1;
    expectation.totalSize = range->total;
  }
  HttpResponse response;
  response.status = 206;
  response.url = "https://storage.example/objects/x?" + value;
  response.headers.append("Content-Length", std::to_string(expectation.length));
  response.headers.append("Content-Range", "bytes " + value);
  response.headers.append("ETag", value);
  try {
    RemoteRangeTransfer::validateResponse(response, expectation);
    // Accepted: the range must be exactly the one expected.
    if (!range || range->start != expectation.offset || range->total != expectation.totalSize) {
      std::abort();
    }
  } catch (const RepackError&) {
  }
  return 0;
}
