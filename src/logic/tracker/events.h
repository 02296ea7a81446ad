#pragma once

#include <array>
#include <string_view>

// Every statistics event the installer sends and every parameter key it
// gives them, in one place: a name the collector's reports are keyed on must
// not drift between the place that sends it and the tests that check it.
// docs/statistics.md says when each is sent; a test keeps the two in step.
namespace Zentak::Events {

// The run as a whole.
inline constexpr char kBundleInstallStarted[] = "BUNDLE_INSTALL_STARTED";
inline constexpr char kBundleInstallRepeatedDetected[] = "BUNDLE_INSTALL_REPEATED_DETECTED";
inline constexpr char kBundleInstallFinished[] = "BUNDLE_INSTALL_FINISHED";
inline constexpr char kBundleInstallCancelled[] = "BUNDLE_INSTALL_CANCELLED";
inline constexpr char kBundleEulaRequested[] = "BUNDLE_EULA_REQUESTED";
inline constexpr char kBundleEulaShown[] = "BUNDLE_EULA_SHOWN";
inline constexpr char kBundleEulaHidden[] = "BUNDLE_EULA_HIDDEN";
inline constexpr char kBundleEulaAccepted[] = "BUNDLE_EULA_ACCEPTED";
inline constexpr char kBundleDownloadStarted[] = "BUNDLE_DOWNLOAD_STARTED";
inline constexpr char kBundleDownloadFinished[] = "BUNDLE_DOWNLOAD_FINISHED";
inline constexpr char kBundleDownloadError[] = "BUNDLE_DOWNLOAD_ERROR";
inline constexpr char kNotEnoughDiskSpace[] = "NOT_ENOUGH_DISK_SPACE";
inline constexpr char kNoConnectionPopupShown[] = "NO_CONNECTION_POPUP_SHOWN";

// One package of the bundle.
inline constexpr char kProductArchChanged[] = "PRODUCT_ARCH_CHANGED";
inline constexpr char kProductLocalPackageUsed[] = "PRODUCT_LOCAL_PACKAGE_USED";
inline constexpr char kProductDownloadStarted[] = "PRODUCT_DOWNLOAD_STARTED";
inline constexpr char kProductDownloadFinished[] = "PRODUCT_DOWNLOAD_FINISHED";
inline constexpr char kProductDownloadError[] = "PRODUCT_DOWNLOAD_ERROR";
inline constexpr char kProductInstallStarted[] = "PRODUCT_INSTALL_STARTED";
inline constexpr char kProductInstallFinished[] = "PRODUCT_INSTALL_FINISHED";
inline constexpr char kProductInstallFailed[] = "PRODUCT_INSTALL_FAILED";
inline constexpr char kProductStarting[] = "PRODUCT_STARTING";
inline constexpr char kProductStartSucceeded[] = "PRODUCT_START_SUCCEEDED";
inline constexpr char kProductStartFailed[] = "PRODUCT_START_FAILED";

// The configuration, the splash's pictures and the web user id.
inline constexpr char kConfigDownloadStarted[] = "CONFIG_DOWNLOAD_STARTED";
inline constexpr char kConfigDownloadCompleted[] = "CONFIG_DOWNLOAD_COMPLETED";
inline constexpr char kConfigDownloadFailed[] = "CONFIG_DOWNLOAD_FAILED";
inline constexpr char kImageDownloadStarted[] = "IMAGE_DOWNLOAD_STARTED";
inline constexpr char kImageDownloadCompleted[] = "IMAGE_DOWNLOAD_COMPLETED";
inline constexpr char kImageDownloadFailed[] = "IMAGE_DOWNLOAD_FAILED";
inline constexpr char kNewSitemark[] = "WI_NEW_SITEMARK";

inline constexpr std::array<std::string_view, 31> kAll = {
    kBundleInstallStarted,    kBundleInstallRepeatedDetected, kBundleInstallFinished,
    kBundleInstallCancelled,  kBundleEulaRequested,           kBundleEulaShown,
    kBundleEulaHidden,        kBundleEulaAccepted,            kBundleDownloadStarted,
    kBundleDownloadFinished,  kBundleDownloadError,           kNotEnoughDiskSpace,
    kNoConnectionPopupShown,  kProductArchChanged,            kProductLocalPackageUsed,
    kProductDownloadStarted,  kProductDownloadFinished,       kProductDownloadError,
    kProductInstallStarted,   kProductInstallFinished,        kProductInstallFailed,
    kProductStarting,         kProductStartSucceeded,         kProductStartFailed,
    kConfigDownloadStarted,   kConfigDownloadCompleted,       kConfigDownloadFailed,
    kImageDownloadStarted,    kImageDownloadCompleted,        kImageDownloadFailed,
    kNewSitemark,
};

} // namespace Zentak::Events

namespace Zentak::EventParam {

// What the caller of an event gives.
inline constexpr char kProductName[] = "PRODUCT_NAME";
inline constexpr char kTotalSize[] = "TOTAL_SIZE";
inline constexpr char kDownloadedSize[] = "DOWNLOADED_SIZE";
inline constexpr char kErrorCount[] = "ERROR_COUNT";
inline constexpr char kDownloadErrorCount[] = "DOWNLOAD_ERROR_COUNT";
inline constexpr char kInstallErrorCount[] = "INSTALL_ERROR_COUNT";
inline constexpr char kTimeElapsed[] = "TIME_ELAPSED";
inline constexpr char kAverageSpeed[] = "AVERAGE_SPEED";
inline constexpr char kCurlError[] = "CURL_ERROR";
inline constexpr char kInitializationTime[] = "INITIALIZATION_TIME";
inline constexpr char kPreferredBrowser[] = "PREFERRED_BROWSER";
inline constexpr char kRequiredBytes[] = "REQUIRED_BYTES";
inline constexpr char kAvailableBytes[] = "AVAILABLE_BYTES";
inline constexpr char kExitState[] = "EXIT_STATE";
inline constexpr char kResult[] = "RESULT";
inline constexpr char kAcceptanceResult[] = "ACCEPTANCE_RESULT";
inline constexpr char kImageType[] = "IMAGE_TYPE";
inline constexpr char kRegUserSitemark[] = "REG_USER_SITEMARK";
inline constexpr char kRegProductSitemark[] = "REG_PRODUCT_SITEMARK";
inline constexpr char kFileSitemark[] = "FILE_SITEMARK";
inline constexpr char kApiSitemark[] = "API_SITEMARK";
inline constexpr char kMergeSitemarkResult[] = "MERGE_SITEMARK_RESULT";
// Put before a sitemark source's key when its value was not a valid one.
inline constexpr char kNotValidPrefix[] = "NOT_VALID_";

inline constexpr std::array<std::string_view, 22> kCallers = {
    kProductName,       kTotalSize,           kDownloadedSize,    kErrorCount,
    kDownloadErrorCount, kInstallErrorCount,  kTimeElapsed,       kAverageSpeed,
    kCurlError,         kInitializationTime,  kPreferredBrowser,  kRequiredBytes,
    kAvailableBytes,    kExitState,           kResult,            kAcceptanceResult,
    kImageType,         kRegUserSitemark,     kRegProductSitemark, kFileSitemark,
    kApiSitemark,       kMergeSitemarkResult,
};

// What the tracker puts first in every event, in this order on the wire.
inline constexpr char kBuildName[] = "BUILD_NAME";
inline constexpr char kBundleId[] = "BUNDLE_ID";
inline constexpr char kModuleName[] = "MODULE_NAME";
inline constexpr char kVersion[] = "VERSION";
inline constexpr char kProductVersion[] = "PRODUCT_VERSION";
inline constexpr char kDateTime[] = "DATE_TIME";
inline constexpr char kHuid[] = "HUID";
inline constexpr char kSitemark[] = "SITEMARK";
inline constexpr char kLanguage[] = "LANGUAGE";
inline constexpr char kOsBits[] = "OS_BITS";
inline constexpr char kOsEdition[] = "OS_EDITION";
inline constexpr char kOsName[] = "OS_NAME";
inline constexpr char kOsVersion[] = "OS_VERSION";
inline constexpr char kSid[] = "SID";
inline constexpr char kUniqueId[] = "UNIQUE_ID";
inline constexpr char kPreviousEvent[] = "PREVIOUS_EVENT";
inline constexpr char kPreviousUniqueId[] = "PREVIOUS_UNIQUE_ID";
inline constexpr char kBundleName[] = "BUNDLE_NAME";
inline constexpr char kBundleVersion[] = "BUNDLE_VERSION";

inline constexpr std::array<std::string_view, 19> kCommon = {
    kBuildName, kBundleId,   kModuleName,   kVersion,   kProductVersion,
    kDateTime,  kHuid,       kSitemark,     kLanguage,  kOsBits,
    kOsEdition, kOsName,     kOsVersion,    kSid,       kUniqueId,
    kPreviousEvent, kPreviousUniqueId, kBundleName, kBundleVersion,
};

} // namespace Zentak::EventParam
