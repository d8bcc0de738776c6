#include "platform/input-screen-layout.h"

#include "platform/registry.h"

namespace orvex {

std::string DescribeRect(const ScreenRect& r) {
    return std::to_string(r.Width) + "x" + std::to_string(r.Height) + "+" + std::to_string(r.X) +
           "+" + std::to_string(r.Y);
}

namespace {

// A monitor the server lists with no area cannot take a pointer.
bool HasArea(const MonitorInfo& m) {
    return m.Rect.Width > 0 && m.Rect.Height > 0;
}

}  // namespace

PanelPlacement PlacePanel(const ScreenLayout& layout, std::string_view monitor) {
    if (!monitor.empty()) {
        for (const MonitorInfo& m : layout.Monitors) {
            if (m.Name == monitor && HasArea(m))
                return {m.Rect, true, std::nullopt, false};
        }
        return {layout.Screen, false, std::nullopt, false};
    }
    const MonitorInfo* first = nullptr;
    const MonitorInfo* primary = nullptr;
    size_t count = 0;
    for (const MonitorInfo& m : layout.Monitors) {
        if (!HasArea(m))
            continue;
        ++count;
        if (!first)
            first = &m;
        if (m.Primary && !primary)
            primary = &m;
    }
    if (count < 2)
        return {layout.Screen, false, std::nullopt, false};
    const MonitorInfo& m = primary ? *primary : *first;
    return {m.Rect, false, m.Name, primary != nullptr};
}

std::string DescribePlacement(const PanelPlacement& p, std::string_view monitor) {
    const std::string rect = DescribeRect(p.Rect);
    if (!monitor.empty()) {
        const std::string name(monitor);
        return p.Found ? "monitor " + name + " " + rect
                       : "monitor " + name + " absent, whole screen " + rect;
    }
    if (!p.Chosen)
        return "whole screen " + rect;
    return p.ChosenPrimary ? "primary monitor " + *p.Chosen + " " + rect
                           : "first monitor " + *p.Chosen + " " + rect + " (none is primary)";
}

int MapAbsolute(uint32_t value, int size) {
    if (value > 0xFFFF)
        value = 0xFFFF;
    if (size <= 0)
        return 0;
    return static_cast<int>(
        (static_cast<uint64_t>(value) * static_cast<uint64_t>(size - 1) + 32767) / 65535);
}

std::string PanelMonitorName(Registry& reg, bool* unusable) {
    if (unusable)
        *unusable = false;
    std::u16string value;
    if (!ReadStringValue(reg, u"Platform\\Input", u"Monitor", &value))
        return {};
    bool bad = value.size() > MaxMonitorNameLength;
    for (char16_t c : value) {
        // Names come from output connectors or from xrandr's command line;
        // control characters would only garble the log lines that quote them.
        if (c < 0x20 || c == 0x7F)
            bad = true;
    }
    if (bad) {
        if (unusable)
            *unusable = true;
        return {};
    }
    return Utf16ToUtf8(value);
}

}  // namespace orvex
