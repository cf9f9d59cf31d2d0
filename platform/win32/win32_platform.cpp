// The native Windows backend: plain Win32, every string UTF-16 on the way
// in and UTF-8 on the way out.
#include <windows.h>
#include <commctrl.h>
#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr wchar_t kFormClass[] = L"SkorrelForm1";
constexpr int kControlCount = 4;
// Child window ids: the control's enum value plus a base, so none is IDOK.
constexpr int kIdBase = 100;

int Index(Control c) { return static_cast<int>(c); }

struct State {
    HINSTANCE instance = nullptr;
    HWND windows[kControlCount] = {};
    HFONT font = nullptr;
    std::function<void()> onCommand1;
    double twipsPerPixelX = 15;
    double twipsPerPixelY = 15;
    bool quit = false;
    bool quitPosted = false;  // WM_QUIT seen, possibly by a nested pump
    int exitCode = 0;
    bool inCommand1 = false;
    bool closePending = false;
    bool periodRaised = false;
};

State g;

HWND Hwnd(Control c) { return g.windows[Index(c)]; }
HWND Form() { return Hwnd(Control::Form1); }

std::wstring Wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

std::string Narrow(const wchar_t* w, std::size_t size) {
    if (size == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(size), s.data(), n, nullptr, nullptr);
    return s;
}

// Sleep(1) only lasts about a millisecond at the raised resolution; it is
// raised by the count-in's first sleep and lowered once nothing is timed.
void RaisePeriod() {
    if (g.periodRaised) return;
    g.periodRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
}

void LowerPeriod() {
    if (!g.periodRaised) return;
    timeEndPeriod(1);
    g.periodRaised = false;
}

// A clip rectangle outlives the process on Windows: drop it on every way
// out of a race.
void ReleaseEverything() {
    ::ClipCursor(nullptr);
    LowerPeriod();
}

void AtExit() { ReleaseEverything(); }

void ScreenDpi() {
    HDC dc = GetDC(nullptr);
    const int dpiX = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
    const int dpiY = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(nullptr, dc);
    g.twipsPerPixelX = 1440.0 / (dpiX > 0 ? dpiX : 96);
    g.twipsPerPixelY = 1440.0 / (dpiY > 0 ? dpiY : 96);
}

int PixelsX(double twips) { return static_cast<int>(std::nearbyint(twips / g.twipsPerPixelX)); }
int PixelsY(double twips) { return static_cast<int>(std::nearbyint(twips / g.twipsPerPixelY)); }

int CALLBACK NoteFace(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM param) {
    *reinterpret_cast<bool*>(param) = true;
    return 0;
}

bool FaceExists(const std::wstring& face) {
    if (face.empty() || face.size() >= LF_FACESIZE) return false;
    LOGFONTW lf{};
    lf.lfCharSet = DEFAULT_CHARSET;
    face.copy(lf.lfFaceName, face.size());
    HDC dc = GetDC(nullptr);
    if (!dc) return false;
    bool found = false;
    EnumFontFamiliesExW(dc, &lf, NoteFace, reinterpret_cast<LPARAM>(&found), 0);
    ReleaseDC(nullptr, dc);
    return found;
}

HFONT MakeFont(const FormLayout& layout) {
    std::wstring face = Wide(layout.fontFace ? layout.fontFace : "");
    if (!FaceExists(face)) {
        for (std::size_t i = 0; i < layout.fallbackCount; ++i) {
            std::wstring other = Wide(layout.fallbackFaces[i]);
            if (FaceExists(other)) {
                face = other;
                break;
            }
        }
        // None there: keep the laid-out face and let Windows substitute.
    }
    HDC dc = GetDC(nullptr);
    const int dpiY = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(nullptr, dc);
    return CreateFontW(-MulDiv(layout.fontPoints, dpiY, 72), 0, 0, 0, layout.fontWeight, FALSE, FALSE, FALSE,
                       static_cast<DWORD>(layout.fontCharset), OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face.c_str());
}

void FocusButton() {
    HWND button = Hwnd(Control::Command1);
    if (button && IsWindowEnabled(button) && GetActiveWindow() == Form()) SetFocus(button);
}

LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_COMMAND:
        if (LOWORD(wParam) == kIdBase + Index(Control::Command1) && HIWORD(wParam) == BN_CLICKED &&
            g.onCommand1 && !g.quit) {
            g.inCommand1 = true;
            g.onCommand1();
            g.inCommand1 = false;
            // A close during the race was held back until the handler
            // finished with the window.
            if (g.closePending) {
                g.closePending = false;
                DestroyWindow(hwnd);
            }
        }
        return 0;
    case DM_GETDEFID:
        // Enter presses the start button, as on a dialog.
        return MAKELRESULT(kIdBase + Index(Control::Command1), DC_HASDEFID);
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE && Hwnd(Control::Command1) &&
            IsWindowEnabled(Hwnd(Control::Command1))) {
            SetFocus(Hwnd(Control::Command1));
            return 0;
        }
        break;
    case WM_CLOSE:
        g.quit = true;
        ReleaseEverything();
        if (g.inCommand1)
            g.closePending = true;  // the race loops see QuitRequested and return
        else
            DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        g.quit = true;
        ReleaseEverything();
        for (HWND& w : g.windows) w = nullptr;
        PostQuitMessage(0);
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wParam) {
            g.quit = true;
            ReleaseEverything();
        }
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// One message, the dialog manager first so Tab, Space and Enter work.
void Handle(MSG& msg) {
    HWND form = Form();
    if (form && IsDialogMessageW(form, &msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

}  // namespace

// ---- pointer -------------------------------------------------------------

void SetCursorPos(int32_t x, int32_t y) { ::SetCursorPos(x, y); }

void GetCursorPos(POINT& p) {
    ::POINT q{p.x, p.y};
    if (::GetCursorPos(&q)) {
        p.x = q.x;
        p.y = q.y;
    }
}

void ClipCursor(const RECT* r) {
    if (!r) {
        ::ClipCursor(nullptr);
        return;
    }
    const ::RECT clip{r->left, r->top, r->right, r->bottom};
    ::ClipCursor(&clip);
}

int32_t MonitorCount() {
    const int n = ::GetSystemMetrics(SM_CMONITORS);
    return n > 0 ? n : 1;
}

// The pointer can be read anywhere on the screen: nothing to cover.
void TrackPointer(bool) {}

// The pointer is the system's own: it is never lost.
std::string PointerLost() { return {}; }

// ---- clock ---------------------------------------------------------------

uint32_t timeGetTime() { return ::timeGetTime(); }

void Sleep(uint32_t ms) {
    RaisePeriod();
    ::Sleep(ms);
}

// ---- events --------------------------------------------------------------

void PumpEvents() {
    MSG msg;
    while (!g.quitPosted && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Keep it for RunEventLoop, which would otherwise wait forever.
            g.quitPosted = true;
            g.quit = true;
            g.exitCode = static_cast<int>(msg.wParam);
            break;
        }
        Handle(msg);
    }
}

bool QuitRequested() { return g.quit; }

// ---- screen and window ---------------------------------------------------

ScreenSize GetScreenSize() {
    ScreenDpi();
    ScreenSize s;
    s.twipsPerPixelX = g.twipsPerPixelX;
    s.twipsPerPixelY = g.twipsPerPixelY;
    s.widthTwips = GetSystemMetrics(SM_CXSCREEN) * s.twipsPerPixelX;
    s.heightTwips = GetSystemMetrics(SM_CYSCREEN) * s.twipsPerPixelY;
    return s;
}

WindowSize GetWindowSize(Control window) {
    WindowSize size;
    ::RECT r;
    if (HWND w = Hwnd(window); w && GetWindowRect(w, &r)) {
        size.widthTwips = (r.right - r.left) * g.twipsPerPixelX;
        size.heightTwips = (r.bottom - r.top) * g.twipsPerPixelY;
    }
    return size;
}

void SetWindowTop(Control window, float twips) {
    HWND w = Hwnd(window);
    ::RECT r;
    if (!w || !GetWindowRect(w, &r)) return;
    if (HWND parent = GetParent(w)) MapWindowPoints(nullptr, parent, reinterpret_cast<::POINT*>(&r), 2);
    SetWindowPos(w, nullptr, r.left, PixelsY(twips), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetWindowLeft(Control window, float twips) {
    HWND w = Hwnd(window);
    ::RECT r;
    if (!w || !GetWindowRect(w, &r)) return;
    if (HWND parent = GetParent(w)) MapWindowPoints(nullptr, parent, reinterpret_cast<::POINT*>(&r), 2);
    SetWindowPos(w, nullptr, PixelsX(twips), r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetCaption(Control c, std::string_view utf8) {
    if (HWND w = Hwnd(c)) SetWindowTextW(w, Wide(utf8).c_str());
}

void SetEnabled(Control c, bool enabled) {
    HWND w = Hwnd(c);
    if (!w) return;
    EnableWindow(w, enabled ? TRUE : FALSE);
    // A disabled button loses the focus; give it back so Space works again.
    if (enabled && c == Control::Command1 && (GetFocus() == nullptr || GetFocus() == Form())) FocusButton();
}

void CreateForm(const FormLayout& layout, std::function<void()> onCommand1) {
    g.onCommand1 = std::move(onCommand1);
    ScreenDpi();
    // A fixed frame: the layout fixes the client area.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_CONTROLPARENT;
    ::RECT frame{0, 0, PixelsX(layout.clientWidth), PixelsY(layout.clientHeight)};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    HWND form = CreateWindowExW(exStyle, kFormClass, Wide(layout.caption).c_str(), style, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                nullptr, g.instance, nullptr);
    g.windows[Index(Control::Form1)] = form;
    if (!form) return;

    g.font = MakeFont(layout);
    // Created in tab order: the z-order is what Tab follows.
    std::vector<const ControlLayout*> order;
    for (std::size_t i = 0; i < layout.controlCount; ++i) order.push_back(&layout.controls[i]);
    std::stable_sort(order.begin(), order.end(),
                     [](const ControlLayout* a, const ControlLayout* b) { return a->tabIndex < b->tabIndex; });
    for (const ControlLayout* c : order) {
        const bool button = c->kind == ControlKind::PushButton;
        const DWORD childStyle = WS_CHILD | WS_VISIBLE |
                                 (button ? static_cast<DWORD>(BS_PUSHBUTTON | WS_TABSTOP)
                                         : static_cast<DWORD>(SS_LEFT | SS_NOPREFIX));
        HWND w = CreateWindowExW(0, button ? L"BUTTON" : L"STATIC", Wide(c->caption).c_str(), childStyle,
                                 PixelsX(c->left), PixelsY(c->top), PixelsX(c->width), PixelsY(c->height), form,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdBase + Index(c->id))),
                                 g.instance, nullptr);
        g.windows[Index(c->id)] = w;
        if (w && g.font) SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(g.font), FALSE);
    }
}

void ShowForm() {
    HWND form = Form();
    if (!form) return;
    ShowWindow(form, SW_SHOWNORMAL);
    UpdateWindow(form);
    SetForegroundWindow(form);
    FocusButton();
}

int RunEventLoop() {
    while (!g.quitPosted) {
        // Back to waiting: nothing is being timed now.
        LowerPeriod();
        MSG msg;
        const BOOL r = GetMessageW(&msg, nullptr, 0, 0);
        if (r == 0) {
            g.quitPosted = true;
            g.exitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (r == -1) break;
        Handle(msg);
    }
    ReleaseEverything();
    if (g.font) {
        DeleteObject(g.font);
        g.font = nullptr;
    }
    return g.exitCode;
}

bool Init(int, char**, std::string* why) {
    g.instance = GetModuleHandleW(nullptr);
    std::atexit(AtExit);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = FormProc;
    wc.hInstance = g.instance;
    wc.hIcon = LoadIconW(g.instance, MAKEINTRESOURCEW(1));
    if (!wc.hIcon) wc.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));              // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kFormClass;
    if (!RegisterClassExW(&wc)) {
        if (why) *why = "cannot register the window class (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    ScreenDpi();
    return true;
}

void ShowMessageBox(std::string_view prompt, const char* title) {
    // The race is over when a box shows: stop the fine timer meanwhile.
    LowerPeriod();
    // Without a title Windows would write "Error"; the game's title is
    // Project1.
    const std::wstring caption = Wide(title ? title : kApplicationTitle);
    MessageBoxW(Form(), Wide(prompt).c_str(), caption.c_str(), MB_OK);
}

// ---- files, directories, time --------------------------------------------

std::string AppDirectory() {
    // The exe may sit deeper than MAX_PATH: grow until the name fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD n = 0;
    for (;;) {
        n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return ".";
        if (n < buffer.size()) break;
        if (buffer.size() >= 32768 * 2) return ".";
        buffer.resize(buffer.size() * 2);
    }
    std::wstring path(buffer.data(), n);
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return ".";
    path.resize(cut);
    return Narrow(path.data(), path.size());
}

char PathSeparator() { return '\\'; }

LocalTime GetLocalTime() {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    return t;
}

}  // namespace platform
