#include "engine/common/repack_error.h"

#include <string_view>
#include <tuple>
#include <type_traits>

namespace {

using E = RepackError;

static_assert(std::variant_size_v<E::Payload> ==
              static_cast<size_t>(E::Case::configurationInvalid) + 1);

// Builds a description from literal pieces and payload values; numbers print
// in plain decimal.
class Text {
 public:
  Text& operator<<(std::string_view piece) {
    out_.append(piece);
    return *this;
  }
  template <typename N>
  requires std::is_integral_v<N> Text& operator<<(N number) {
    out_.append(std::to_string(number));
    return *this;
  }
  std::string str() const { return out_; }

 private:
  std::string out_;
};

std::string sampleList(const std::vector<std::string>& sample) {
  std::string out = "[";
  for (size_t i = 0; i < sample.size() && i < 5; ++i) {
    if (i > 0) out += ", ";
    out += '"';
    out += sample[i];
    out += '"';
  }
  return out + "]";
}

std::string text(const E::FileOpenFailed& p) {
  return (Text() << "open(" << p.path << ") failed: errno " << p.errnum).str();
}
std::string text(const E::FileStatFailed& p) {
  return (Text() << "fstat(" << p.path << ") failed: errno " << p.errnum).str();
}
std::string text(const E::FtruncateFailed& p) {
  return (Text() << "ftruncate(" << p.path << ") failed: errno " << p.errnum).str();
}
std::string text(const E::PwriteShort& p) {
  return (Text() << "pwrite(" << p.path << ") short: expected " << p.expected << ", wrote "
                 << p.wrote << ", errno " << p.errnum)
      .str();
}
std::string text(const E::PreadShort& p) {
  return (Text() << "pread(" << p.path << ") short: expected " << p.expected << ", got " << p.got
                 << ", errno " << p.errnum)
      .str();
}
std::string text(const E::MmapFailed& p) {
  return (Text() << "mmap(" << p.path << ") failed: errno " << p.errnum).str();
}
std::string text(const E::RenameFailed& p) {
  return (Text() << "rename(" << p.from << " -> " << p.to << ") failed: errno " << p.errnum).str();
}
std::string text(const E::FsyncFailed& p) {
  return (Text() << "fsync(" << p.path << ") failed: errno " << p.errnum).str();
}
std::string text(const E::MkdirFailed& p) {
  return (Text() << "mkdir(" << p.path << ") failed: errno " << p.errnum).str();
}
std::string text(const E::RemoveFailed& p) {
  return (Text() << "remove(" << p.path << ") failed: errno " << p.errnum).str();
}
std::string text(const E::InstallBusy& p) {
  return (Text() << "another installer holds " << p.path).str();
}
std::string text(const E::InstallPathUnsafe& p) {
  return (Text() << "unsafe installer path " << p.path << ": " << p.detail).str();
}
std::string text(const E::InstallStateMissing& p) {
  return (Text() << "no resumable install state exists for " << p.path).str();
}
std::string text(const E::InstallStateCorrupt& p) {
  return (Text() << "install state at " << p.path << " is corrupt: " << p.detail).str();
}
std::string text(const E::InstallStateIncompatible& p) {
  return (Text() << "install state is incompatible: " << p.detail).str();
}
std::string text(const E::PromotionUnsupported& p) {
  return (Text() << "atomic directory promotion is unsupported for " << p.path << ": errno "
                 << p.errnum)
      .str();
}
std::string text(const E::SafetensorsHeaderTooLarge& p) {
  return (Text() << "safetensors header at " << p.path << " size " << p.size << " exceeds bound")
      .str();
}
std::string text(const E::SafetensorsHeaderInvalid& p) {
  return (Text() << "safetensors header at " << p.path << " invalid: " << p.detail).str();
}
std::string text(const E::SafetensorsUnknownDtype& p) {
  return (Text() << "safetensors at " << p.path << " has unsupported dtype " << p.dtype).str();
}
std::string text(const E::SafetensorsTensorOutOfRange& p) {
  return (Text() << "safetensors " << p.path << ": tensor " << p.name << " ends at " << p.end
                 << ", file size " << p.fileSize)
      .str();
}
std::string text(const E::IndexJsonInvalid& p) {
  return (Text() << "index.json " << p.path << " invalid: " << p.detail).str();
}
std::string text(const E::ConfigJsonInvalid& p) {
  return (Text() << "config.json " << p.path << " invalid: " << p.detail).str();
}
std::string text(const E::QuantOverrideCountMismatch& p) {
  return (Text() << "config.json quantization overrides: expected " << p.expected << ", got "
                 << p.actual << "; sample=" << sampleList(p.sample))
      .str();
}
std::string text(const E::MissingTensor& p) { return "expected tensor missing: " + p.name; }
std::string text(const E::UnknownTensorPrefix& p) { return "unknown tensor prefix: " + p.name; }
std::string text(const E::MissingScalesCompanion& p) {
  return "quantized tensor " + p.name + " missing .scales companion";
}
std::string text(const E::MissingBiasesCompanion& p) {
  return "quantized tensor " + p.name + " missing .biases companion";
}
std::string text(const E::ShapeMismatch& p) {
  return "shape mismatch for " + p.name + ": " + p.detail;
}
std::string text(const E::DtypeMismatch& p) {
  return "dtype mismatch for " + p.name + ": " + p.detail;
}
std::string text(const E::SourceFingerprintRejected& p) {
  return "source fingerprint " + p.sha256 + " for " + p.path + " is not in known set";
}
std::string text(const E::LocalSourceRejected& p) {
  return "local file " + p.path + " for " + p.shard + " " + p.detail;
}
std::string text(const E::RemoteProtocolInvalid& p) {
  return "remote protocol invalid: " + p.detail;
}
std::string text(const E::RemoteHTTPStatus& p) {
  return (Text() << "remote HTTP " << p.status << ": " << p.url).str();
}
std::string text(const E::RemoteHTTPResponse& p) {
  Text t;
  t << "remote HTTP " << p.status << ": " << p.url;
  if (p.retryAfter) t << ", Retry-After " << *p.retryAfter;
  return t.str();
}
std::string text(const E::RemoteBodyTruncated& p) {
  return (Text() << "remote body for " << p.path << " was truncated: expected " << p.expected
                 << ", received " << p.actual)
      .str();
}
std::string text(const E::RemoteBodyExceeded& p) {
  return (Text() << "remote body for " << p.path << " exceeded " << p.limit << " bytes at "
                 << p.attempted << " bytes")
      .str();
}
std::string text(const E::RemoteRedirectRejected& p) {
  return "remote redirect rejected for " + p.url + ": " + p.detail;
}
std::string text(const E::RemoteRetryDelayExceeded& p) {
  return (Text() << "remote Retry-After " << p.value << " exceeds " << p.capSeconds
                 << "-second cap")
      .str();
}
std::string text(const E::RemoteFileTooLarge& p) {
  return (Text() << "remote file " << p.path << " size " << p.size << " exceeds cap " << p.cap)
      .str();
}
std::string text(const E::SourceFileUnavailableOffline& p) {
  return "file " + p.path + " of " + p.repoID + " at " + p.commit + " is not available offline";
}
std::string text(const E::DiskSpaceInsufficient& p) {
  return (Text() << "insufficient disk space for " << p.path << ": required " << p.required
                 << ", available " << p.available)
      .str();
}
std::string text(const E::ScratchExceeded& p) {
  return (Text() << "resident index size " << p.requested << " exceeds limit " << p.limit).str();
}
std::string text(const E::ConfigurationInvalid& p) { return "configuration invalid: " + p.detail; }

}  // namespace

std::string RepackError::describe(const Payload& payload) {
  return std::visit([](const auto& p) { return text(p); }, payload);
}

void throwConfigurationInvalid(std::string detail) {
  throw RepackError(RepackError::ConfigurationInvalid{std::move(detail)});
}
