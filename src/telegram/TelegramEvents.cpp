#include "telegram/TelegramEvents.h"

#include <nlohmann/json.hpp>

namespace parlando {

using nlohmann::json;

namespace {

std::optional<std::string> textMember(const json& object, const char* name) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::string> nonEmpty(std::optional<std::string> s) {
    if (s && s->empty()) return std::nullopt;
    return s;
}

// The first active user name, else the old single one, else the first name.
std::string userName(const json& user) {
    if (const auto u = user.find("usernames"); u != user.end() && u->is_object()) {
        if (const auto a = u->find("active_usernames"); a != u->end() && a->is_array() && !a->empty()) {
            const json& first = a->front();
            if (first.is_string() && !first.get_ref<const std::string&>().empty()) return first.get<std::string>();
        }
    }
    if (auto name = nonEmpty(textMember(user, "username"))) return *name;
    if (auto name = nonEmpty(textMember(user, "first_name"))) return *name;
    return "user";
}

}  // namespace

std::optional<TelegramEvent> decodeTelegramEvent(std::string_view text) {
    json object = json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return std::nullopt;
    const auto type = textMember(object, "@type");
    if (!type) return std::nullopt;

    TelegramEvent event;
    if (const auto id = object.find("@client_id"); id != object.end() && id->is_number_integer()) {
        event.clientId = id->get<std::int64_t>();
    }
    if (*type == "updateAuthorizationState") {
        const auto state = object.find("authorization_state");
        if (state == object.end() || !state->is_object()) return std::nullopt;
        auto stateType = nonEmpty(textMember(*state, "@type"));
        if (!stateType) return std::nullopt;
        event.kind = TelegramEvent::Kind::authorizationState;
        event.text = std::move(*stateType);
    } else if (*type == "error") {
        event.kind = TelegramEvent::Kind::error;
        // An empty message would leave the menu line saying nothing at all.
        event.text = nonEmpty(textMember(object, "message")).value_or("unknown error");
    } else if (*type == "user") {
        event.kind = TelegramEvent::Kind::user;
        event.text = userName(object);
    } else {
        event.text = *type;
    }
    return event;
}

}  // namespace parlando
