// sorbel: the desktop flash programmer. The command line names a settings file (without
// its ".ini" ending); nothing else is read from it.
#include "app/DownloadApp.h"

int main(int argc, char** argv) {
    sorbel::app::DownloadApp app(argc, argv);
    return app.run();
}
