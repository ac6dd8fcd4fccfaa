#include "ondrelkit/pulse/server_queries.h"

namespace ondrel::pulse {
namespace {

struct Answer {
  PulseConnection* connection;
  std::vector<DeviceInfo> devices;
  bool failed = false;  // the server reported an error, "no such entity" included
};

// Called for every entry and once more at the end of the list (or on an error).
template <typename Info>
void onInfo(pa_context*, const Info* info, int eol, void* userdata) {
  auto* answer = static_cast<Answer*>(userdata);
  if (eol < 0) {
    answer->failed = true;
  } else if (eol == 0 && info) {
    answer->devices.push_back(describe(*info));
  }
  answer->connection->signal();
}

struct ServerAnswer {
  PulseConnection* connection;
  std::optional<Defaults> defaults;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* answer = static_cast<ServerAnswer*>(userdata);
  if (info) {
    answer->defaults = Defaults{info->default_sink_name ? info->default_sink_name : "",
                                info->default_source_name ? info->default_source_name : ""};
  }
  answer->connection->signal();
}

void onFreshState(pa_context*, void* userdata) {
  static_cast<PulseConnection*>(userdata)->signal();
}

}  // namespace

std::optional<std::vector<DeviceInfo>> listDevices(PulseConnection& connection) {
  Answer sinks{&connection, {}};
  if (!connection.await(
          pa_context_get_sink_info_list(connection.context(), &onInfo<pa_sink_info>, &sinks)) ||
      sinks.failed) {
    return std::nullopt;
  }
  Answer sources{&connection, {}};
  if (!connection.await(pa_context_get_source_info_list(connection.context(),
                                                        &onInfo<pa_source_info>, &sources)) ||
      sources.failed) {
    return std::nullopt;
  }
  std::vector<DeviceInfo> devices = std::move(sinks.devices);
  devices.insert(devices.end(), sources.devices.begin(), sources.devices.end());
  return devices;
}

Lookup findDevice(PulseConnection& connection, bool isSource, const std::string& name) {
  Answer answer{&connection, {}};
  pa_operation* op = isSource
                         ? pa_context_get_source_info_by_name(connection.context(), name.c_str(),
                                                              &onInfo<pa_source_info>, &answer)
                         : pa_context_get_sink_info_by_name(connection.context(), name.c_str(),
                                                            &onInfo<pa_sink_info>, &answer);
  Lookup lookup;
  lookup.answered = connection.await(op);
  if (lookup.answered && !answer.failed && !answer.devices.empty()) {
    lookup.device = std::move(answer.devices.front());
  }
  return lookup;
}

// Asked of a new client, and of the connection only if that fails: PipeWire's pulse server now
// and then leaves a client's view of the default stale (the old name in every answer, and no
// event), while a client that connects after the change sees it.
std::optional<Defaults> defaultNames(PulseConnection& connection) {
  if (pa_context* fresh = pa_context_new(connection.api(), "ondrel-default-sink")) {
    pa_context_set_state_callback(fresh, &onFreshState, &connection);
    std::optional<Defaults> name;
    if (pa_context_connect(fresh, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0 &&
        connection.waitUntil([fresh] {
          const pa_context_state_t state = pa_context_get_state(fresh);
          return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        }) &&
        pa_context_get_state(fresh) == PA_CONTEXT_READY) {
      ServerAnswer answer{&connection, std::nullopt};
      if (connection.await(pa_context_get_server_info(fresh, &onServerInfo, &answer))) {
        name = answer.defaults;
      }
    }
    pa_context_set_state_callback(fresh, nullptr, nullptr);
    pa_context_disconnect(fresh);
    pa_context_unref(fresh);
    if (name) return name;
  }
  ServerAnswer answer{&connection, std::nullopt};
  if (!connection.await(pa_context_get_server_info(connection.context(), &onServerInfo, &answer))) {
    return std::nullopt;
  }
  return answer.defaults;
}

}  // namespace ondrel::pulse
