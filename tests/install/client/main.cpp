// Reads the supply temperature of the simulated engine's built-in catalogue, and the engine's
// inventory (a record from the message client's header, installed beside the proxy's).
#include <ZvPldProxy.h>
#include <ZvPldTypes.h>

#include <cstdio>
#include <string>

int main() {
    ZvPldProxy proxy("sim", "install-client");
    std::string label, value;
    ZvVelInventory inventory{};
    const int labelRc = proxy.GetLabelString(label, 1, 100, 1, 0, nullptr);
    const int valueRc = proxy.GetValueString(value, 1, 100, 1, 0, 0, 0, nullptr);
    const bool inventoryOk = proxy.GetPldInventory(&inventory);
    proxy.stop_y4IpcToClientProc();

    std::printf("%s = %s (%d devices)\n", label.c_str(), value.c_str(),
                static_cast<int>(inventory.nmbrDevices));
    const bool ok = labelRc == 0 && valueRc == 0 && label == "Supply temperature" &&
                    !value.empty() && inventoryOk && inventory.nmbrDevices == 3;
    return ok ? 0 : 1;
}
