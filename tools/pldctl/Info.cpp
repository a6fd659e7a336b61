// `pldctl info`: the engine's inventory, then each catalogued device's product identity and FDM
// version.
#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "Output.h"

namespace pldctl {

void ShowInfo(ZvPldProxy& proxy, const zvsim::Catalogue& catalogue) {
    ZvVelInventory inv{};
    if (!proxy.GetPldInventory(&inv)) {
        CountFailure();
        PrintLine("inventory: not available");
        return;
    }
    char line[160];
    std::snprintf(line, sizeof line,
                  "Engine \"%.*s\" %u.%u: %u of at most %u devices, PLD count %u, up %u s",
                  static_cast<int>(sizeof inv.serverName), inv.serverName,
                  static_cast<unsigned>(inv.serverVersion >> 16),
                  static_cast<unsigned>(inv.serverVersion & 0xFFFF),
                  static_cast<unsigned>(inv.nmbrDevices), static_cast<unsigned>(inv.maxDevices),
                  static_cast<unsigned>(inv.pldCount), static_cast<unsigned>(inv.upTimeSec));
    PrintLine(line);
    for (const auto& [index, device] : catalogue.devices) {
        ZvProductIdentSeq* seq = nullptr;
        std::string identity;
        if (proxy.GetProdSeqId(&seq, index)) {
            for (unsigned i = 0; i < seq->nmbrIds; ++i) {
                char id[8];
                std::snprintf(id, sizeof id, " 0x%04x", static_cast<unsigned>(seq->ids[i]));
                identity += id;
            }
            identity = "ids" + identity + ", revision " + std::to_string(seq->revision);
            std::free(seq);
        } else {
            // The proxy does not tell a device without a block from a block it refused: either
            // way no identity was read.
            CountFailure();
            identity = "no valid product identity";
            if (device.identity) {
                const std::size_t n = device.identity->ids.size();
                identity += " (the engine's block was refused: " + std::to_string(n) +
                            (n == 1 ? " id" : " ids") + ", revision " +
                            std::to_string(device.identity->revision) + ")";
            } else {
                identity += " (the engine has none)";
            }
        }
        const std::string fdm = proxy.GetFdmVersion(index);
        PrintLine("Device " + std::to_string(index) + " (" + device.name +
                  "): product identity: " + identity + "; FDM version \"" + fdm + "\" (" +
                  std::to_string(fdm.size()) + " characters)");
    }
}

}  // namespace pldctl
