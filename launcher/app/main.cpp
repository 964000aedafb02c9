#include "delivery/content/DownloadQueue.h"
#include "launcher/app/TrailstarterApp.h"
#include "launcher/web/WebBrowser.h"

int main(int argc, char** argv) {
    // Before any thread: the download threads' bodies otherwise spread over many arenas.
    Vel::ContentDownload::LimitAllocatorArenas();
    Vel::UseWebEngineBrowser();
    return Vel::RunTrailstarter(argc, argv);
}
