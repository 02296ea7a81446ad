#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <ostream>
#include <thread>

#include "splash/splash.h"
#include "utils/json_line.h"

namespace Zentak {

// The splash of an unattended run: it prints what a window would show and
// answers for the absent user. Consent is taken as given and install is
// pressed as soon as the start page is ready; the retry and disk-space
// dialogs are answered with cancel and the no-connection dialog with its
// button, so a run that would wait for a person ends instead.
//
// Like the window, every operation is performed on the thread that runs
// RunSplash (the main thread), and the calling thread waits for it.
//
// In builds made with the tests, ZENTAK_TEST_RETRY_ANSWERS may list the
// answers to give the retry dialog in turn ("retry", "skip", "cancel",
// separated by commas); when the list is used up the answer is cancel.
class ConsoleSplash : public ISplash {
public:
    // With `json`, each thing shown is one JSON object on a line of its own
    // ({"event":"page","page":"Progress"}, ...) instead of text.
    ConsoleSplash(ISplashEventObserver& observer, std::ostream& out, bool json = false);
    ~ConsoleSplash() override;

    void RunSplash() override;
    void SetPage(Page page) override;
    void UpdateProgress(int value) override;
    void UpdateInstallerInfo() override;
    void Close() override;
    void SetMainImage(std::string data) override;
    void SetProgressImage(Page page, std::string data) override;
    void SetCloseButtonState(ButtonState state) override;
    void ShowNoConnectionError() override;
    void ShowRetryDialog(const std::string& product,
                         IProcessExecutorObserver::ProcessState state) override;
    void ShowPlatformRequiredDialog(const std::string& text) override;
    void ShowInstallerAlreadyRunningDialog(const std::string& name) override;
    void ShowNotEnoughDiskSpaceDialog(const std::string& disk, uint64_t required,
                                      uint64_t available) override;
    void ShowProgramIsRunningDialog(const std::string& name) override;
    void ShowInstallStep(int number, int count, const std::string& name) override;

private:
    // Runs `task` on the loop's thread and waits for it. Before the loop
    // starts the task waits in the queue; on the loop's own thread (an
    // observer answering from a dialog) and after the loop ended, the task
    // runs at once on the caller's thread, so no caller can hang.
    void Perform(std::function<void()> task);
    void Print(const std::string& line);
    // Prints `human`, or `json` in JSON mode.
    void Emit(const std::string& human, const JsonLine& json);
    // A dialog and the answer given for the absent user.
    void Answer(const std::string& dialog, const std::string& answer);

    ISplashEventObserver& m_observer;
    std::ostream& m_out;
    const bool m_json;
    std::mutex m_outMutex;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopRequested = false;
    bool m_loopEnded = false;
    std::thread::id m_loopThread;
    unsigned long long m_tasksDone = 0;
    unsigned long long m_tasksQueued = 0;

    // Touched only by performed tasks.
    std::deque<std::string> m_retryAnswers;
    int m_lastProgress = -1;
    bool m_started = false;
    bool m_noConnectionShown = false;
};

// The type of picture the bytes hold, judged by their first bytes.
const char* ImageTypeName(const std::string& data);

} // namespace Zentak
