#include "platform/ne/Interception.hpp"

#include <nftables/libnftables.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <sstream>

#include "platform/ne/DNSProxyPreferences.hpp"

namespace platform::ne {

namespace {

std::atomic<std::uint32_t> socketMark{0};

// libnftables keeps caches and output buffers per context: one call at a time.
std::mutex& nftablesMutex() {
    static std::mutex mutex;
    return mutex;
}

// A table name goes into command text: only nftables' plain identifiers.
bool plainIdentifier(const std::string& name) {
    if (name.empty() || name.size() > 64 || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::string hex(std::uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

std::string target(const asio::ip::udp::endpoint& endpoint) {
    const auto port = std::to_string(endpoint.port());
    if (endpoint.address().is_v4()) {
        // A wildcard socket also receives what is sent to loopback.
        const auto address = endpoint.address().is_unspecified() ? asio::ip::address_v4::loopback()
                                                                 : endpoint.address().to_v4();
        return "dnat ip to " + address.to_string() + ":" + port;
    }
    auto address =
        endpoint.address().is_unspecified() ? asio::ip::address_v6::loopback() : endpoint.address().to_v6();
    address.scope_id(0);
    return "dnat ip6 to [" + address.to_string() + "]:" + port;
}

std::string deleteTable(const std::string& table) {
    // "add" makes the delete succeed when there is nothing to delete.
    return "add table inet " + table + "\ndelete table inet " + table + "\n";
}

std::vector<std::string> nameServers(const std::string& path) {
    std::vector<std::string> servers;
    std::string error;
    const auto text = readSmallFile(path, 1 << 16, error);
    if (!text) return servers;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (words >> keyword >> address && keyword == "nameserver") servers.push_back(address);
    }
    return servers;
}

bool loopback(const std::string& text) {
    asio::error_code ec;
    const auto address = asio::ip::make_address(text, ec);
    if (ec) return false;
    return address.is_v4() ? address.to_v4().is_loopback() : address.to_v6().is_loopback();
}

}  // namespace

std::string interceptionRuleset(const std::string& table, std::uint32_t mark,
                                const std::vector<asio::ip::udp::endpoint>& listening,
                                std::vector<std::string>* uncovered) {
    std::string redirections;
    std::string refusals;
    for (const bool v4 : {true, false}) {
        const auto it = std::find_if(listening.begin(), listening.end(),
                                     [v4](const auto& endpoint) { return endpoint.address().is_v4() == v4; });
        if (it == listening.end()) {
            if (uncovered) uncovered->push_back(v4 ? "IPv4" : "IPv6");
            continue;
        }
        const std::string family = std::string("        meta nfproto ") + (v4 ? "ipv4" : "ipv6");
        redirections += family + " udp dport 53 " + target(*it) + "\n";
        // The proxy takes no TCP: a query over TCP would pass it unfiltered, so it is
        // refused, with a reset so that the client gives up at once rather than after
        // its timeout. Every packet, not only the first: a connection made before the
        // table existed ends at its next query too.
        refusals += family + " tcp dport 53 reject with tcp reset\n";
    }
    const auto passMarked = "        meta mark " + hex(mark) + " return\n";
    // Translations happen in a nat chain, which sees only a connection's first packet;
    // refusals in a filter chain, which sees every one.
    return deleteTable(table) + "table inet " + table +
           " {\n"
           "    chain output {\n"
           "        type nat hook output priority -100; policy accept;\n" +
           passMarked + redirections +
           "    }\n"
           "    chain refuse_tcp {\n"
           "        type filter hook output priority 0; policy accept;\n" +
           passMarked + refusals + "    }\n}\n";
}

namespace {

// The process's one context, made once (nftablesMutex held). Its netlink socket is
// opened with it, while the process holds few descriptors: libnftables waits on
// that socket with select(), which aborts the process for a descriptor past
// FD_SETSIZE, and a proxy with a thousand queries in flight holds more than that
// when it removes its table on the way out.
nft_ctx* nftablesContext() {
    static const std::unique_ptr<nft_ctx, void (*)(nft_ctx*)> context = [] {
        std::unique_ptr<nft_ctx, void (*)(nft_ctx*)> made(nft_ctx_new(NFT_CTX_DEFAULT), nft_ctx_free);
        if (made) {
            nft_ctx_buffer_output(made.get());
            nft_ctx_buffer_error(made.get());
        }
        return made;
    }();
    return context.get();
}

}  // namespace

void prepareNftables() {
    std::lock_guard lock(nftablesMutex());
    nftablesContext();
}

std::string runNftables(const std::string& commands) {
    std::lock_guard lock(nftablesMutex());
    nft_ctx* const context = nftablesContext();
    if (!context) return "nftables cannot be used (no context)";
    // Read (and so rewound) after every command, whatever its outcome.
    const auto clearOutput = [context] { nft_ctx_get_output_buffer(context); };
    if (nft_run_cmd_from_buffer(context, commands.c_str()) == 0) {
        clearOutput();
        nft_ctx_get_error_buffer(context);
        return {};
    }
    clearOutput();
    std::string error = nft_ctx_get_error_buffer(context);
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    // The first line says why; the rest quotes our own command text back.
    if (const auto newline = error.find('\n'); newline != std::string::npos) error.resize(newline);
    return error.empty() ? "nftables refused the change" : error;
}

Interception::Interception(InterceptionSettings settings) : settings_(std::move(settings)) {
    prepareNftables();
}

Interception::~Interception() { remove(); }

std::string Interception::install(const std::vector<asio::ip::udp::endpoint>& listening) {
    std::lock_guard lock(mutex_);
    if (!plainIdentifier(settings_.table)) return "bad nftables table name: " + settings_.table;
    if (listening.empty()) return "nothing listens";
    // Marked before the table exists, so that no upstream socket made in between
    // is taken back in; unmarked again when the table cannot be made.
    const auto previous = upstreamSocketMark();
    setUpstreamSocketMark(settings_.mark);
    auto error = runNftables(interceptionRuleset(settings_.table, settings_.mark, listening));
    if (!error.empty()) {
        setUpstreamSocketMark(previous);
        return error;
    }
    installed_ = true;
    return {};
}

std::string Interception::remove() {
    std::lock_guard lock(mutex_);
    if (!installed_) return {};
    auto error = runNftables(deleteTable(settings_.table));
    if (error.empty()) installed_ = false;
    return error;
}

bool Interception::installed() const {
    std::lock_guard lock(mutex_);
    return installed_;
}

std::string clearInterception(const std::string& table) {
    if (!plainIdentifier(table)) return "bad nftables table name: " + table;
    return runNftables(deleteTable(table));
}

void setUpstreamSocketMark(std::uint32_t mark) { socketMark.store(mark, std::memory_order_relaxed); }

std::uint32_t upstreamSocketMark() { return socketMark.load(std::memory_order_relaxed); }

std::string computerResolvConf(const std::string& path, const std::string& resolvedPath) {
    const auto servers = nameServers(path);
    const bool onlyStub = !servers.empty() && std::all_of(servers.begin(), servers.end(), [](const auto& s) {
        return s == "127.0.0.53" || s == "127.0.0.54";
    });
    if (!onlyStub) return path;
    std::string error;
    return readSmallFile(resolvedPath, 1 << 16, error) ? resolvedPath : path;
}

std::vector<std::string> loopbackNameServers(const std::string& path) {
    auto servers = nameServers(path);
    servers.erase(std::remove_if(servers.begin(), servers.end(), [](const auto& s) { return !loopback(s); }),
                  servers.end());
    return servers;
}

}  // namespace platform::ne
