#include "model/Actions.hpp"

namespace model {

MigrateToANewRPCServer MigrateToANewRPCServer::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    MigrateToANewRPCServer move;
    move.key = keyed.decodeIfPresent<std::string>("key");
    move.location = keyed.decodeIfPresent<Location>("location");
    move.rpc = keyed.decodeIfPresent<std::string>("rpc");
    return move;
}

OrderedJSONValue MigrateToANewRPCServer::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("key", key);
    keyed.encodeIfPresent("location", location);
    keyed.encodeIfPresent("rpc", rpc);
    return std::move(keyed).take();
}

Upgrade Upgrade::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    Upgrade upgrade;
    upgrade.args = keyed.decodeIfPresent<std::string>("args");
    upgrade.url = keyed.decodeIfPresent<std::string>("url");
    upgrade.version = keyed.decodeIfPresent<std::string>("version");
    return upgrade;
}

OrderedJSONValue Upgrade::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("args", args);
    keyed.encodeIfPresent("url", url);
    keyed.encodeIfPresent("version", version);
    return std::move(keyed).take();
}

Actions Actions::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    Actions actions;
    actions.disable = keyed.decodeIfPresent<bool>("disable");
    actions.move = keyed.decodeIfPresent<MigrateToANewRPCServer>("move");
    actions.shutdown = keyed.decodeIfPresent<bool>("shutdown");
    actions.uninstall = keyed.decodeIfPresent<bool>("uninstall");
    actions.upgrade = keyed.decodeIfPresent<Upgrade>("upgrade");
    return actions;
}

OrderedJSONValue Actions::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("disable", disable);
    keyed.encodeIfPresent("move", move);
    keyed.encodeIfPresent("shutdown", shutdown);
    keyed.encodeIfPresent("uninstall", uninstall);
    keyed.encodeIfPresent("upgrade", upgrade);
    return std::move(keyed).take();
}

}  // namespace model
