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
    if (!app)
        return 1;
    QtSettingsMessages messages;
    const std::string root = PlatformRoot();

    SettingsStartup startup;
    startup.OpenDevice = [&root](std::u16string_view name) { return OpenDevice(name, root); };
    startup.OpenRegistry = [&root]() {
        uint32_t error = 0;  // a registry that cannot be opened fails each key open
        return OpenSqliteRegistry(root, &error);
    };
    startup.RunDialog = [&app](SettingsModel& model) {
        SettingsDialog dialog(model, [] { QCoreApplication::exit(0); });
        dialog.show();
        dialog.raise();
        dialog.activateWindow();
        return app->exec();
    };
    return RunSettingsProgram(startup, messages);
}
