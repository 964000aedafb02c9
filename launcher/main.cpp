#include "launcher/TrailstarterApp.h"
#include "launcher/web/WebBrowser.h"

int main(int argc, char** argv) {
    Vel::UseWebEngineBrowser();
    return Vel::RunTrailstarter(argc, argv);
}
