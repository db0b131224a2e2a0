// The one error type of the repack engine. Each case carries a typed payload
// and prints as a fixed sentence: the text after "install failed: " and the
// other prefixes of the command line. Parts of the engine throw it by naming a
// payload struct: throw RepackError(RepackError::FileOpenFailed{path, err}).
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <variant>
#include <vector>

class RepackError : public std::exception {
 public:
  // Failed platform calls: the path as given to the call and the errno it left.
  struct FileOpenFailed {
    std::string path;
    int32_t errnum;
    bool operator==(const FileOpenFailed&) const = default;
  };
  struct FileStatFailed {
    std::string path;
    int32_t errnum;
    bool operator==(const FileStatFailed&) const = default;
  };
  struct FtruncateFailed {
    std::string path;
    int32_t errnum;
    bool operator==(const FtruncateFailed&) const = default;
  };
  struct PwriteShort {
    std::string path;
    int64_t expected;
    int64_t wrote;
    int32_t errnum;
    bool operator==(const PwriteShort&) const = default;
  };
  struct PreadShort {
    std::string path;
    int64_t expected;
    int64_t got;
    int32_t errnum;
    bool operator==(const PreadShort&) const = default;
  };
  struct MmapFailed {
    std::string path;
    int32_t errnum;
    bool operator==(const MmapFailed&) const = default;
  };
  struct RenameFailed {
    std::string from;
    std::string to;
    int32_t errnum;
    bool operator==(const RenameFailed&) const = default;
  };
  struct FsyncFailed {
    std::string path;
    int32_t errnum;
    bool operator==(const FsyncFailed&) const = default;
  };
  struct MkdirFailed {
    std::string path;
    int32_t errnum;
    bool operator==(const MkdirFailed&) const = default;
  };
  struct RemoveFailed {
    std::string path;
    int32_t errnum;
    bool operator==(const RemoveFailed&) const = default;
  };
  // Install directory state.
  struct InstallBusy {
    std::string path;
    bool operator==(const InstallBusy&) const = default;
  };
  struct InstallPathUnsafe {
    std::string path;
    std::string detail;
    bool operator==(const InstallPathUnsafe&) const = default;
  };
  struct InstallStateMissing {
    std::string path;
    bool operator==(const InstallStateMissing&) const = default;
  };
  struct InstallStateCorrupt {
    std::string path;
    std::string detail;
    bool operator==(const InstallStateCorrupt&) const = default;
  };
  struct InstallStateIncompatible {
    std::string detail;
    bool operator==(const InstallStateIncompatible&) const = default;
  };
  struct PromotionUnsupported {
    std::string path;
    int32_t errnum;
    bool operator==(const PromotionUnsupported&) const = default;
  };
  // A source checkpoint that is not what the plan expects.
  struct SafetensorsHeaderTooLarge {
    std::string path;
    uint64_t size;
    bool operator==(const SafetensorsHeaderTooLarge&) const = default;
  };
  struct SafetensorsHeaderInvalid {
    std::string path;
    std::string detail;
    bool operator==(const SafetensorsHeaderInvalid&) const = default;
  };
  struct SafetensorsUnknownDtype {
    std::string path;
    std::string dtype;
    bool operator==(const SafetensorsUnknownDtype&) const = default;
  };
  struct SafetensorsTensorOutOfRange {
    std::string path;
    std::string name;
    uint64_t end;
    uint64_t fileSize;
    bool operator==(const SafetensorsTensorOutOfRange&) const = default;
  };
  struct IndexJsonInvalid {
    std::string path;
    std::string detail;
    bool operator==(const IndexJsonInvalid&) const = default;
  };
  struct ConfigJsonInvalid {
    std::string path;
    std::string detail;
    bool operator==(const ConfigJsonInvalid&) const = default;
  };
  struct QuantOverrideCountMismatch {
    int64_t expected;
    int64_t actual;
    std::vector<std::string> sample;
    bool operator==(const QuantOverrideCountMismatch&) const = default;
  };
  struct MissingTensor {
    std::string name;
    bool operator==(const MissingTensor&) const = default;
  };
  struct UnknownTensorPrefix {
    std::string name;
    bool operator==(const UnknownTensorPrefix&) const = default;
  };
  struct MissingScalesCompanion {
    std::string name;
    bool operator==(const MissingScalesCompanion&) const = default;
  };
  struct MissingBiasesCompanion {
    std::string name;
    bool operator==(const MissingBiasesCompanion&) const = default;
  };
  struct ShapeMismatch {
    std::string name;
    std::string detail;
    bool operator==(const ShapeMismatch&) const = default;
  };
  struct DtypeMismatch {
    std::string name;
    std::string detail;
    bool operator==(const DtypeMismatch&) const = default;
  };
  struct SourceFingerprintRejected {
    std::string path;
    std::string sha256;
    bool operator==(const SourceFingerprintRejected&) const = default;
  };
  // A file of the checkpoint on local disk that cannot be used: `detail`
  // says why (its digest or size differs, or it has no digest to check).
  struct LocalSourceRejected {
    std::string path;
    std::string shard;
    std::string detail;
    bool operator==(const LocalSourceRejected&) const = default;
  };
  // The hub transfer.
  struct RemoteProtocolInvalid {
    std::string detail;
    bool operator==(const RemoteProtocolInvalid&) const = default;
  };
  struct RemoteHTTPStatus {
    std::string url;
    int64_t status;
    bool operator==(const RemoteHTTPStatus&) const = default;
  };
  struct RemoteHTTPResponse {
    std::string url;
    int64_t status;
    std::optional<std::string> retryAfter;
    // The answer's RateLimit header, kept for the retry pause; not shown.
    std::optional<std::string> rateLimit = std::nullopt;
    bool operator==(const RemoteHTTPResponse&) const = default;
  };
  struct RemoteBodyTruncated {
    std::string path;
    uint64_t expected;
    uint64_t actual;
    bool operator==(const RemoteBodyTruncated&) const = default;
  };
  struct RemoteBodyExceeded {
    std::string path;
    uint64_t limit;
    uint64_t attempted;
    bool operator==(const RemoteBodyExceeded&) const = default;
  };
  struct RemoteRedirectRejected {
    std::string url;
    std::string detail;
    bool operator==(const RemoteRedirectRejected&) const = default;
  };
  struct RemoteRetryDelayExceeded {
    std::string value;
    uint64_t capSeconds;
    bool operator==(const RemoteRetryDelayExceeded&) const = default;
  };
  struct RemoteFileTooLarge {
    std::string path;
    uint64_t size;
    uint64_t cap;
    bool operator==(const RemoteFileTooLarge&) const = default;
  };
  // A file the install needs is neither on disk nor allowed from the hub.
  struct SourceFileUnavailableOffline {
    std::string path;
    std::string repoID;
    std::string commit;
    bool operator==(const SourceFileUnavailableOffline&) const = default;
  };
  // Exhausted resources.
  struct DiskSpaceInsufficient {
    std::string path;
    uint64_t required;
    uint64_t available;
    bool operator==(const DiskSpaceInsufficient&) const = default;
  };
  struct ScratchExceeded {
    int64_t requested;
    int64_t limit;
    bool operator==(const ScratchExceeded&) const = default;
  };
  // Any other rejected input or broken invariant.
  struct ConfigurationInvalid {
    std::string detail;
    bool operator==(const ConfigurationInvalid&) const = default;
  };

  using Payload = std::variant<
      FileOpenFailed, FileStatFailed, FtruncateFailed, PwriteShort, PreadShort, MmapFailed,
      RenameFailed, FsyncFailed, MkdirFailed, RemoveFailed, InstallBusy, InstallPathUnsafe,
      InstallStateMissing, InstallStateCorrupt, InstallStateIncompatible, PromotionUnsupported,
      SafetensorsHeaderTooLarge, SafetensorsHeaderInvalid, SafetensorsUnknownDtype,
      SafetensorsTensorOutOfRange, IndexJsonInvalid, ConfigJsonInvalid, QuantOverrideCountMismatch,
      MissingTensor, UnknownTensorPrefix, MissingScalesCompanion, MissingBiasesCompanion,
      ShapeMismatch, DtypeMismatch, SourceFingerprintRejected, LocalSourceRejected,
      RemoteProtocolInvalid, RemoteHTTPStatus, RemoteHTTPResponse, RemoteBodyTruncated,
      RemoteBodyExceeded, RemoteRedirectRejected, RemoteRetryDelayExceeded, RemoteFileTooLarge,
      SourceFileUnavailableOffline, DiskSpaceInsufficient, ScratchExceeded, ConfigurationInvalid>;

  // The cases in declaration order; the value is the payload's variant index.
  enum class Case {
    fileOpenFailed,
    fileStatFailed,
    ftruncateFailed,
    pwriteShort,
    preadShort,
    mmapFailed,
    renameFailed,
    fsyncFailed,
    mkdirFailed,
    removeFailed,
    installBusy,
    installPathUnsafe,
    installStateMissing,
    installStateCorrupt,
    installStateIncompatible,
    promotionUnsupported,
    safetensorsHeaderTooLarge,
    safetensorsHeaderInvalid,
    safetensorsUnknownDtype,
    safetensorsTensorOutOfRange,
    indexJsonInvalid,
    configJsonInvalid,
    quantOverrideCountMismatch,
    missingTensor,
    unknownTensorPrefix,
    missingScalesCompanion,
    missingBiasesCompanion,
    shapeMismatch,
    dtypeMismatch,
    sourceFingerprintRejected,
    localSourceRejected,
    remoteProtocolInvalid,
    remoteHTTPStatus,
    remoteHTTPResponse,
    remoteBodyTruncated,
    remoteBodyExceeded,
    remoteRedirectRejected,
    remoteRetryDelayExceeded,
    remoteFileTooLarge,
    sourceFileUnavailableOffline,
    diskSpaceInsufficient,
    scratchExceeded,
    configurationInvalid,
  };

  template <typename T>
  requires std::is_constructible_v<Payload, T&&> RepackError(
      T&& payload)  // NOLINT(google-explicit-constructor): reads as "throw the case"
      : payload_(std::forward<T>(payload)), text_(describe(payload_)) {}

  Case kind() const { return static_cast<Case>(payload_.index()); }
  const Payload& payload() const { return payload_; }
  // The payload of case T, or null when the error is another case.
  template <typename T>
  const T* as() const {
    return std::get_if<T>(&payload_);
  }

  const std::string& description() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

  bool operator==(const RepackError& other) const { return payload_ == other.payload_; }

 private:
  static std::string describe(const Payload& payload);

  Payload payload_;
  std::string text_;
};

// Throws RepackError::ConfigurationInvalid{detail}: the error of every
// rejected option, plan or input that has no case of its own.
[[noreturn]] void throwConfigurationInvalid(std::string detail);
