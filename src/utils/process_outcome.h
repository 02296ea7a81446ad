#pragma once

namespace Zentak {

// How an installer or a product launch ended. The process executor itself
// gives only Success and Error; the other values are an installer's own
// ways of ending that the controller and the texts tell apart. The numbers
// are the installers' exit states and stay as they are.
enum class ProcessOutcome : int {
    // No process has ended for the package yet (or its download failed).
    None = -1,
    Success = 0,
    Error = 1,
    PreparationCancelled = 2,
    RetryCancelled = 3,
    // The product to be replaced is running: the user is asked to close it.
    ProductRunning = 4,
    StartedOnUninstall = 5,
    InstallerError = 6,
    UninstallerError = 7,
    IncorrectPath = 8,
    // An installer's second way of saying it succeeded.
    SuccessOther = 9,
};

inline bool Succeeded(ProcessOutcome outcome)
{
    return outcome == ProcessOutcome::Success || outcome == ProcessOutcome::SuccessOther;
}

// The outcome's name in the statistics ("EXIT_STATE"): "UNKNOWN" for those
// that are not failures of their own.
inline const char* ExitStateText(ProcessOutcome outcome)
{
    switch (outcome) {
    case ProcessOutcome::Error: return "UNKNOWN_ERROR";
    case ProcessOutcome::PreparationCancelled: return "INSTALLER_PREPARATION_CANCELLED";
    case ProcessOutcome::RetryCancelled: return "INSTALLER_RETRY_CANCELLED";
    case ProcessOutcome::StartedOnUninstall: return "PRODUCT_STARTED_ON_UNINSTALL";
    case ProcessOutcome::InstallerError: return "INSTALLER_ERROR";
    case ProcessOutcome::UninstallerError: return "UNINSTALLER_ERROR";
    case ProcessOutcome::IncorrectPath: return "INCORRECT_PATH";
    default: return "UNKNOWN";
    }
}

} // namespace Zentak
