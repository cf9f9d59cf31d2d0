#include "platform/fake/fake.h"

#include <algorithm>
#include <map>

namespace fake {

namespace {

Machine* current = nullptr;

// Clock readings compared the way the wrapping 32-bit clock allows.
bool Reached(uint32_t now, uint32_t time) { return static_cast<int32_t>(now - time) >= 0; }

// Screen edges and, while confined, the clip rectangle hold the pointer.
platform::POINT Clamp(const Machine& m, int32_t x, int32_t y) {
    // Further monitors, each as big as the primary, lie to its right.
    x = std::clamp(x, 0, m.screenWidth * std::max(1, m.monitors) - 1);
    y = std::clamp(y, 0, m.screenHeight - 1);
    if (m.confined) {
        x = std::clamp(x, m.clip.left, m.clip.right - 1);
        y = std::clamp(y, m.clip.top, m.clip.bottom - 1);
    }
    return {x, y};
}

void ApplyScript(Machine& m) {
    while (m.nextSample < m.script.size() && Reached(m.now, m.script[m.nextSample].time)) {
        const Sample& s = m.script[m.nextSample++];
        m.pointer = Clamp(m, s.x, s.y);
    }
}

void Record(Machine& m, Event e) {
    e.time = m.now;
    e.pump = m.pumps;
    m.events.push_back(std::move(e));
}

}  // namespace

Machine& machine() {
    if (!current) current = new Machine();
    return *current;
}

// In place, so references to the machine stay good.
void Reset() { machine() = Machine(); }

void PressCommand1() {
    Machine& m = machine();
    if (m.onCommand1 && m.Enabled(platform::Control::Command1)) m.onCommand1();
}

std::string Machine::Caption(platform::Control c) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (it->what == What::Caption && it->control == c) return it->text;
    return {};
}

bool Machine::Enabled(platform::Control c) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (it->what == What::Enabled && it->control == c) return it->flag;
    return true;
}

std::vector<Event> Machine::Of(What w) const {
    std::vector<Event> out;
    for (const Event& e : events)
        if (e.what == w) out.push_back(e);
    return out;
}

}  // namespace fake

namespace platform {

using fake::machine;
using fake::What;

void SetCursorPos(int32_t x, int32_t y) {
    auto& m = machine();
    m.pointer = fake::Clamp(m, x, y);
    fake::Record(m, {What::Warp, Control::Form1, {}, {}, false, 0, RECT{x, y, x, y}});
}

void GetCursorPos(POINT& p) {
    auto& m = machine();
    fake::ApplyScript(m);
    p = m.pointer;
}

void ClipCursor(const RECT* r) {
    auto& m = machine();
    m.confined = r != nullptr;
    if (r) {
        m.clip = *r;
        m.pointer = fake::Clamp(m, m.pointer.x, m.pointer.y);
    }
    fake::Record(m, {What::Clip, Control::Form1, {}, {}, r != nullptr, 0, r ? *r : RECT{}});
}

void TrackPointer(bool on) {
    auto& m = machine();
    m.tracking = on;
    if (on) m.lost.clear();
    fake::Record(m, {What::Track, Control::Form1, {}, {}, on, 0, RECT{}});
}

std::string PointerLost() { return machine().lost; }

uint32_t timeGetTime() { return machine().now; }

void Sleep(uint32_t ms) {
    auto& m = machine();
    uint32_t extra = m.sleepExtra ? m.sleepExtra(m.sleeps) : 0;
    ++m.sleeps;
    m.now += ms + extra;
    fake::ApplyScript(m);
}

void PumpEvents() {
    auto& m = machine();
    ++m.pumps;
    fake::ApplyScript(m);
    // Actions may press the button again, so take them out first.
    for (auto& a : m.actions) {
        if (a.second && fake::Reached(m.now, a.first)) {
            auto f = std::move(a.second);
            a.second = nullptr;
            f();
        }
    }
}

bool QuitRequested() { return machine().quit; }

ScreenSize GetScreenSize() {
    auto& m = machine();
    return {m.screenWidth * m.twipsPerPixelX, m.screenHeight * m.twipsPerPixelY,
            m.twipsPerPixelX, m.twipsPerPixelY};
}

int32_t MonitorCount() { return machine().monitors; }

WindowSize GetWindowSize(Control) {
    auto& m = machine();
    return {m.windowWidthTwips, m.windowHeightTwips};
}

void SetWindowTop(Control w, float twips) {
    fake::Record(machine(), {What::WindowTop, w, {}, {}, false, twips, {}});
}

void SetWindowLeft(Control w, float twips) {
    fake::Record(machine(), {What::WindowLeft, w, {}, {}, false, twips, {}});
}

void SetCaption(Control c, std::string_view utf8) {
    fake::Record(machine(), {What::Caption, c, std::string(utf8), {}, false, 0, {}});
}

void SetEnabled(Control c, bool enabled) {
    fake::Record(machine(), {What::Enabled, c, {}, {}, enabled, 0, {}});
}

void CreateForm(const FormLayout& layout, std::function<void()> onCommand1) {
    auto& m = machine();
    m.onCommand1 = std::move(onCommand1);
    SetCaption(Control::Form1, layout.caption);
    for (std::size_t i = 0; i < layout.controlCount; ++i)
        SetCaption(layout.controls[i].id, layout.controls[i].caption);
}

void ShowForm() {
    if (machine().onShow) machine().onShow();
}

int RunEventLoop() {
    while (!QuitRequested()) PumpEvents();
    return 0;
}

bool Init(int, char**, std::string*) { return true; }

void ShowMessageBox(std::string_view prompt, const char* title) {
    auto& m = machine();
    fake::Record(m, {What::MessageBox, Control::Form1, std::string(prompt),
                     title ? title : kApplicationTitle, false, 0, {}});
    if (m.onMessageBox) m.onMessageBox(m.events.back());
}

std::string AppDirectory() { return machine().appDirectory; }

// The files are the host's real ones, and so is the separator.
char PathSeparator() {
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

LocalTime GetLocalTime() { return machine().localTime; }

}  // namespace platform
