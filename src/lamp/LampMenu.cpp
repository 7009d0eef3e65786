#include "lamp/LampMenu.h"

#include <charconv>

namespace parlando {

std::vector<MenuItem> LampMenu::buildLightSubmenu() {
    LightControl& light = *s_.light;
    std::vector<MenuItem> items;
    MenuItem address = MenuItem::make(light.host() + ":" + std::to_string(light.port()), {});
    address.enabled = false;
    items.push_back(std::move(address));
    MenuItem toggle = MenuItem::make("Включена", [this] { toggleLightEnabled(); });
    toggle.checked = light.enabled();
    items.push_back(std::move(toggle));
    items.push_back(MenuItem::make("Настроить адрес…", [this] { configureLightHost(); }));
    items.push_back(MenuItem::separator());
    items.push_back(MenuItem::make("Тест (красный → ожидание)", [this] { testLight(); }));
    return items;
}

void LampMenu::toggleLightEnabled() {
    LightControl& light = *s_.light;
    const bool now = !light.enabled();
    light.setEnabled(now);
    // A lamp switched on reaches the lamp at the next phase change, even if
    // the breaker had given up on it.
    if (now) light.resetBreaker();
    s_.log.append(std::string("light: enabled = ") + (now ? "true" : "false"));
}

void LampMenu::configureLightHost() {
    LightControl& light = *s_.light;
    AlertSpec spec;
    spec.messageText = "Адрес демона лампы";
    spec.informativeText = "Хост и порт демона лампочки. Опционально — оставь пусто чтобы отключить.";
    spec.buttons = {"Сохранить", "Отмена"};
    spec.fields = {AlertField{"хост (напр. lamp.local)", light.host(), false},
                   AlertField{"порт (напр. 7420)", std::to_string(light.port()), false}};
    const AlertResult answer = s_.alerts.runModal(spec);
    if (answer.buttonIndex != 0) return;
    const std::string host = trimmedInput(answer.fieldTexts.size() > 0 ? answer.fieldTexts[0] : "");
    const std::string portText = trimmedInput(answer.fieldTexts.size() > 1 ? answer.fieldTexts[1] : "");
    std::int64_t port = 0;
    const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    const bool portOk = !portText.empty() && ec == std::errc() && end == portText.data() + portText.size() && port > 0;
    if (host.empty() || !portOk) {
        if (s_.showError) s_.showError("хост не может быть пустым, порт — положительное целое число");
        return;
    }
    light.setHost(host);
    light.setPort(port);
    s_.log.append("light: endpoint = " + host + ":" + std::to_string(port));
}

void LampMenu::testLight() {
    s_.light->resetBreaker();
    s_.light->set(LightControl::Phase::recording, true);
    std::weak_ptr<LightControl> weak = s_.light;
    auto micAvailable = s_.isMicAvailable;
    testStep_.startOnce(s_.loop, seconds(testStepDelay), [this, weak, micAvailable] {
        testStep_.release();
        auto light = weak.lock();
        if (!light) return;
        const bool available = !micAvailable || micAvailable();
        light->set(available ? LightControl::Phase::idle : LightControl::Phase::disconnected, true);
    });
}

}  // namespace parlando
