#include "model/Kiv.hpp"

namespace model {

Kiv Kiv::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    Kiv kiv;
    kiv.interfacesToIgnore = keyed.decodeIfPresent<std::vector<std::string>>("interfaces_to_ignore");
    kiv.logLevel = keyed.decodeIfPresent<LogLevel>("log_level");
    kiv.ncsiEchoResolver = keyed.decodeIfPresent<std::string>("ncsi_echo_resolver");
    kiv.ncsiEventDelay = keyed.decodeIfPresent<std::int64_t>("ncsi_event_delay");
    kiv.ncsiInterval = keyed.decodeIfPresent<std::int64_t>("ncsi_interval");
    kiv.ncsiIntervalDisconnected = keyed.decodeIfPresent<std::int64_t>("ncsi_interval_disconnected");
    kiv.ncsiTimeout = keyed.decodeIfPresent<std::int64_t>("ncsi_timeout");
    kiv.ncsiURL = keyed.decodeIfPresent<std::string>("ncsi_url");
    kiv.trayType = keyed.decodeIfPresent<UITrayIconDisplayType>("tray_type");
    kiv.unboundLogQueries = keyed.decodeIfPresent<bool>("unbound_log_queries");
    kiv.unboundUseSyslog = keyed.decodeIfPresent<bool>("unbound_use_syslog");
    return kiv;
}

OrderedJSONValue Kiv::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("interfaces_to_ignore", interfacesToIgnore);
    keyed.encodeIfPresent("log_level", logLevel);
    keyed.encodeIfPresent("ncsi_echo_resolver", ncsiEchoResolver);
    keyed.encodeIfPresent("ncsi_event_delay", ncsiEventDelay);
    keyed.encodeIfPresent("ncsi_interval", ncsiInterval);
    keyed.encodeIfPresent("ncsi_interval_disconnected", ncsiIntervalDisconnected);
    keyed.encodeIfPresent("ncsi_timeout", ncsiTimeout);
    keyed.encodeIfPresent("ncsi_url", ncsiURL);
    keyed.encodeIfPresent("tray_type", trayType);
    keyed.encodeIfPresent("unbound_log_queries", unboundLogQueries);
    keyed.encodeIfPresent("unbound_use_syslog", unboundUseSyslog);
    return std::move(keyed).take();
}

}  // namespace model
