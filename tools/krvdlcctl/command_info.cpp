// command_info.cpp - krvdlcctl list and info: the adapters KRVDLC has bound, and what one
// of them reports about itself.
#include "tools/krvdlcctl/command_list.h"

#include <sstream>

namespace krvdlcctl {

namespace kc = krvdlc::client;

void RunList(Invocation &invocation)
{
    invocation.RequireNoLeftover();
    std::vector<kc::AdapterEntry> adapters = kc::ListAdapters();
    Json list = Json::MakeArray();
    std::ostringstream text;
    text << adapters.size() << (adapters.size() == 1 ? " adapter" : " adapters") << " bound to KRVDLC\n";
    for (size_t i = 0; i < adapters.size(); ++i) {
        std::string name = ToUtf8(adapters[i].instanceName);
        std::string file = ToUtf8(adapters[i].fileName);
        text << "  " << i + 1 << "  " << (name.empty() ? "(no name)" : name) << "\n     " << file << "\n";
        Json entry = Json::MakeObject();
        entry.Set("index", static_cast<int>(i + 1)).Set("name", name).Set("file_name", file);
        list.Append(std::move(entry));
    }
    Json result = Json::MakeObject();
    result.Set("command", "list").Set("ok", true).Set("count", static_cast<int>(adapters.size())).Set("adapters", std::move(list));
    invocation.Finish(result, text.str());
}

void RunInfo(Invocation &invocation)
{
    std::string selector = invocation.RequirePositional("ADAPTER");
    invocation.RequireNoLeftover();
    kc::Adapter adapter = OpenAdapter(selector);
    kc::Mac mac = adapter.macAddress();
    krvdlc_medium medium = adapter.medium();
    uint32_t speed = adapter.linkSpeedKbps();
    uint32_t maximum = adapter.maxFrameSize();
    uint32_t filter = adapter.packetFilter();
    bool connected = adapter.mediaConnected();
    std::string name = ToUtf8(adapter.instanceName());
    std::string file = ToUtf8(adapter.fileName());

    std::ostringstream text;
    text << (name.empty() ? file : name) << "\n"
         << "  file name           " << file << "\n"
         << "  MAC address         " << MacText(mac.data()) << "\n"
         << "  medium              " << MediumName(medium) << "\n"
         << "  link speed          " << speed / 1000 << "." << speed % 1000 / 100 << " Mbit/s\n"
         << "  maximum frame size  " << maximum << " bytes\n"
         << "  packet filter       " << FilterNames(filter) << "\n"
         << "  media state         " << (connected ? "connected" : "disconnected") << "\n";
    Json result = Json::MakeObject();
    result.Set("command", "info").Set("ok", true).Set("name", name).Set("file_name", file)
        .Set("mac", MacText(mac.data())).Set("medium", medium == KRVDLC_MEDIUM_TOKEN_RING ? "802.5" : "802.3")
        .Set("link_speed_kbps", speed).Set("max_frame_size", maximum).Set("packet_filter", filter)
        .Set("packet_filter_names", FilterNames(filter)).Set("media_connected", connected);
    invocation.Finish(result, text.str());
}

}  // namespace krvdlcctl
