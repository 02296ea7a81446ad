// Downloads one URL to one file and reports how the batch ended, for the
// disk-full test, which runs this program under a file-size limit.
// Usage: disk_full_child <url> <file>
// Prints "WorkFinished" or "WorkFailed: <error>" and exits 0 on success, 3 on
// failure, 4 when the batch did not end in time.
#include <fstream>
#include <iostream>
#include <memory>
#include <vector>

#include "downloader/download_recorder.h"
#include "logic/downloader/downloader.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: disk_full_child <url> <file>\n";
        return 2;
    }
    Zentak::Test::DownloadRecorder events;
    Zentak::Test::WakeUp wakeUp;
    Zentak::Downloader downloader(events, [&wakeUp] { wakeUp.Raise(); });
    std::vector<Zentak::DownloadItem> items(1);
    items[0].name = "file";
    items[0].url = argv[1];
    items[0].path = argv[2];
    items[0].stream =
        std::make_unique<std::ofstream>(argv[2], std::ios::out | std::ios::trunc | std::ios::binary);
    downloader.Download(std::move(items));
    if (!Zentak::Test::PumpUntilEnded(downloader, events, wakeUp)) {
        std::cout << "no end" << std::endl;
        return 4;
    }
    for (const auto& event : events.events) {
        if (event.kind == "ItemFinished") {
            std::cout << "ItemFinished" << std::endl;
        }
    }
    const auto& last = events.events.back();
    if (last.kind == "WorkFinished") {
        std::cout << "WorkFinished" << std::endl;
        return 0;
    }
    std::cout << "WorkFailed: " << last.error << std::endl;
    return 3;
}
