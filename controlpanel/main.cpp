// orvexcpl: the touch settings dialog. No command-line options; the device
// and the registry are found under the platform root.
#include <QCoreApplication>
#include <string>

#include "controlpanel/dialog.h"
#include "platform/gui/app.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    using namespace orvex;
    auto app = CreateGuiApplication(argc, argv, "orvexcpl");
    QtPanelMessages messages;
    const std::string root = PlatformRoot();

    PanelStartup startup;
    startup.OpenDevice = [&root](std::u16string_view name) { return OpenDevice(name, root); };
    startup.OpenRegistry = [&root]() {
        uint32_t error = 0;  // a registry that cannot be opened fails each key open
        return OpenSqliteRegistry(root, &error);
    };
    startup.RunDialog = [&app](ControlPanel& panel) {
        SettingsDialog dialog(panel, [] { QCoreApplication::exit(0); });
        dialog.show();
        dialog.raise();
        dialog.activateWindow();
        return app->exec();
    };
    return RunControlPanel(startup, messages);
}
