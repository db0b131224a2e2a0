#include "engine/common/repack_error.h"

#include <gtest/gtest.h>

#include "engine/common/progress.h"

namespace {

using E = RepackError;

TEST(RepackError, DescriptionsAreTheFixedSentences) {
  const std::vector<std::pair<RepackError, std::string>> cases = {
      {E::FileOpenFailed{"/a", 2}, "open(/a) failed: errno 2"},
      {E::FileStatFailed{"/a", 5}, "fstat(/a) failed: errno 5"},
      {E::FtruncateFailed{"/a", 28}, "ftruncate(/a) failed: errno 28"},
      {E::PwriteShort{"/a", 10, 4, 28}, "pwrite(/a) short: expected 10, wrote 4, errno 28"},
      {E::PreadShort{"/a", 8, 0, 0}, "pread(/a) short: expected 8, got 0, errno 0"},
      {E::MmapFailed{"/a", 12}, "mmap(/a) failed: errno 12"},
      {E::RenameFailed{"/a", "/b", 18}, "rename(/a -> /b) failed: errno 18"},
      {E::FsyncFailed{"/a", 5}, "fsync(/a) failed: errno 5"},
      {E::MkdirFailed{"/a", 17}, "mkdir(/a) failed: errno 17"},
      {E::RemoveFailed{"/a", 39}, "remove(/a) failed: errno 39"},
      {E::InstallBusy{"/o.korvex"}, "another installer holds /o.korvex"},
      {E::InstallPathUnsafe{"/o", "symlink"}, "unsafe installer path /o: symlink"},
      {E::InstallStateMissing{"/o"}, "no resumable install state exists for /o"},
      {E::InstallStateCorrupt{"/o", "bad"}, "install state at /o is corrupt: bad"},
      {E::InstallStateIncompatible{"plan"}, "install state is incompatible: plan"},
      {E::PromotionUnsupported{"/o", 22},
       "atomic directory promotion is unsupported for /o: errno 22"},
      {E::SafetensorsHeaderTooLarge{"s", 16777217},
       "safetensors header at s size 16777217 exceeds bound"},
      {E::SafetensorsHeaderInvalid{"s", "file too short"},
       "safetensors header at s invalid: file too short"},
      {E::SafetensorsUnknownDtype{"s", "F64"}, "safetensors at s has unsupported dtype F64"},
      {E::SafetensorsTensorOutOfRange{"s", "w", 18446744073709551615ull, 100},
       "safetensors s: tensor w ends at 18446744073709551615, file size 100"},
      {E::IndexJsonInvalid{"i", "no weight_map"}, "index.json i invalid: no weight_map"},
      {E::ConfigJsonInvalid{"c", "no text_config"}, "config.json c invalid: no text_config"},
      {E::QuantOverrideCountMismatch{3, 2, {}},
       "config.json quantization overrides: expected 3, got 2; sample=[]"},
      {E::QuantOverrideCountMismatch{-1, 7, {"a", "b", "c", "d", "e", "f", "g"}},
       "config.json quantization overrides: expected -1, got 7; sample=[\"a\", \"b\", \"c\", "
       "\"d\", \"e\"]"},
      {E::MissingTensor{"t"}, "expected tensor missing: t"},
      {E::UnknownTensorPrefix{"t"}, "unknown tensor prefix: t"},
      {E::MissingScalesCompanion{"t"}, "quantized tensor t missing .scales companion"},
      {E::MissingBiasesCompanion{"t"}, "quantized tensor t missing .biases companion"},
      {E::ShapeMismatch{"t", "d"}, "shape mismatch for t: d"},
      {E::DtypeMismatch{"t", "d"}, "dtype mismatch for t: d"},
      {E::SourceFingerprintRejected{"i", "ab"}, "source fingerprint ab for i is not in known set"},
      {E::LocalSourceRejected{"/c/s", "s", "has no known SHA-256"},
       "local file /c/s for s has no known SHA-256"},
      {E::RemoteProtocolInvalid{"d"}, "remote protocol invalid: d"},
      {E::RemoteHTTPStatus{"https://h/x", 404}, "remote HTTP 404: https://h/x"},
      {E::RemoteHTTPResponse{"https://h/x", 404, std::nullopt}, "remote HTTP 404: https://h/x"},
      {E::RemoteHTTPResponse{"https://h/x", 429, "120"},
       "remote HTTP 429: https://h/x, Retry-After 120"},
      {E::RemoteBodyTruncated{"p", 10, 3},
       "remote body for p was truncated: expected 10, received 3"},
      {E::RemoteBodyExceeded{"p", 10, 11}, "remote body for p exceeded 10 bytes at 11 bytes"},
      {E::RemoteRedirectRejected{"u", "d"}, "remote redirect rejected for u: d"},
      {E::RemoteRetryDelayExceeded{"9999", 300}, "remote Retry-After 9999 exceeds 300-second cap"},
      {E::RemoteFileTooLarge{"p", 11, 10}, "remote file p size 11 exceeds cap 10"},
      {E::SourceFileUnavailableOffline{"p", "o/n", "c"},
       "file p of o/n at c is not available offline"},
      {E::DiskSpaceInsufficient{"/o", 5, 4},
       "insufficient disk space for /o: required 5, available 4"},
      {E::ScratchExceeded{2097152, 1048575}, "resident index size 2097152 exceeds limit 1048575"},
      {E::ConfigurationInvalid{"d"}, "configuration invalid: d"},
  };
  for (const auto& [error, text] : cases) {
    EXPECT_EQ(error.description(), text);
    EXPECT_STREQ(error.what(), text.c_str());
  }
}

TEST(RepackError, EqualityComparesCaseAndPayload) {
  EXPECT_EQ(RepackError(E::InstallBusy{"a"}), RepackError(E::InstallBusy{"a"}));
  EXPECT_NE(RepackError(E::InstallBusy{"a"}), RepackError(E::InstallBusy{"b"}));
  EXPECT_NE(RepackError(E::InstallBusy{"a"}), RepackError(E::InstallStateMissing{"a"}));
  // Same text, different payload: samples beyond the fifth are not printed.
  EXPECT_NE(RepackError(E::QuantOverrideCountMismatch{1, 2, {"a", "b", "c", "d", "e", "f"}}),
            RepackError(E::QuantOverrideCountMismatch{1, 2, {"a", "b", "c", "d", "e", "g"}}));
  const RepackError e = E::RemoteHTTPStatus{"u", 500};
  EXPECT_EQ(e.kind(), RepackError::Case::remoteHTTPStatus);
  ASSERT_NE(e.as<E::RemoteHTTPStatus>(), nullptr);
  EXPECT_EQ(e.as<E::RemoteHTTPStatus>()->status, 500);
  EXPECT_EQ(e.as<E::RemoteHTTPResponse>(), nullptr);
  EXPECT_EQ(RepackError(E::ConfigurationInvalid{""}).kind(),
            RepackError::Case::configurationInvalid);
}

TEST(ModelInstallProgress, EqualityComparesCaseAndPayload) {
  using P = ModelInstallProgress;
  const P planning{P::Planning{1, 2}};
  EXPECT_EQ(planning, (P{P::Planning{1, 2}}));
  EXPECT_NE(planning, (P{P::Planning{2, 1}}));
  EXPECT_NE((P{P::DownloadingMetadata{}}), (P{P::Finalizing{}}));
  EXPECT_EQ((P{P::CheckingDisk{{"/o", 3, 4}}}), (P{P::CheckingDisk{{"/o", 3, 4}}}));
  EXPECT_NE((P{P::HashingOutput{"a"}}), (P{P::HashingOutput{"b"}}));
}

}  // namespace
