// Looks at the game's windows from a second Windows program in the same
// Wine prefix, for tests/wine/e2e.sh. Wine draws the frames itself, so only
// Windows can say where the client area and the close box are, and what a
// box's text looks like in the font the box uses.
//   win_probe frame <title>   prints the frame, the client area (screen
//                             pixels: x y w h each) and the close box's middle
//   win_probe button <title>  prints the middle of its first push button
//   win_probe labels <title>  prints, for each label, the height of its ink
//                             on the screen and its text
//   win_probe text <title>    checks that the box's text on the screen is
//                             drawn with real glyphs, not missing-glyph boxes
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
    w.resize(w.size() - 1);
    return w;
}

std::string Narrow(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

HWND Find(const char* title) {
    HWND w = FindWindowW(nullptr, Wide(title).c_str());
    if (!w) std::fprintf(stderr, "win_probe: no window titled %s\n", title);
    return w;
}

int Frame(HWND w) {
    RECT frame, client;
    GetWindowRect(w, &frame);
    GetClientRect(w, &client);
    POINT origin{0, 0};
    ClientToScreen(w, &origin);
    // The close box: the first point of the caption that says so.
    int qx = -1, qy = -1;
    for (int y = frame.top; y < origin.y && qx < 0; ++y)
        for (int x = frame.right - 1; x > frame.left; --x)
            if (SendMessageW(w, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE) {
                qx = x, qy = y;
                break;
            }
    // Its middle: as far again across and down as the first point found.
    int right = qx, bottom = qy;
    while (right > frame.left && SendMessageW(w, WM_NCHITTEST, 0, MAKELPARAM(right - 1, qy)) == HTCLOSE) --right;
    while (bottom < origin.y && SendMessageW(w, WM_NCHITTEST, 0, MAKELPARAM(qx, bottom + 1)) == HTCLOSE) ++bottom;
    std::printf("%ld %ld %ld %ld %ld %ld %ld %ld %d %d\n", frame.left, frame.top, frame.right - frame.left,
                frame.bottom - frame.top, origin.x, origin.y, client.right, client.bottom,
                qx < 0 ? -1 : (qx + right) / 2, qy < 0 ? -1 : (qy + bottom) / 2);
    return qx < 0 ? 1 : 0;
}

struct Ink {
    int width = 0, height = 0;
    std::vector<bool> on;
    int count() const {
        int n = 0;
        for (bool b : on) n += b;
        return n;
    }
};

int Luma(DWORD bgr) { return (GetRValue(bgr) * 3 + GetGValue(bgr) * 6 + GetBValue(bgr)) / 10; }

// Ink: the pixels far from the picture's background, which is whatever its
// top-left corner shows.
Ink InkOf(const DWORD* pixels, int w, int h) {
    Ink ink{w, h, std::vector<bool>(static_cast<std::size_t>(w) * h)};
    const int background = Luma(pixels[0] & 0xffffff);
    for (int i = 0; i < w * h; ++i) ink.on[i] = std::abs(Luma(pixels[i] & 0xffffff) - background) > 64;
    return ink;
}

int Differ(const Ink& a, const Ink& b) {
    int n = 0;
    for (std::size_t i = 0; i < a.on.size(); ++i) n += a.on[i] != b.on[i];
    return n;
}

// A 32-bit bitmap whose first row is the top one.
BITMAPINFO TopDown32(int w, int h) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    return bi;
}

// The text drawn as a static control with SS_LEFT draws it.
Ink Render(const std::wstring& text, HFONT font, int w, int h) {
    const BITMAPINFO bi = TopDown32(w, h);
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    HGDIOBJ oldFont = SelectObject(dc, font);
    RECT all{0, 0, w, h};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    DrawTextW(dc, text.c_str(), -1, &all, DT_LEFT | DT_EXPANDTABS | DT_WORDBREAK | DT_NOPREFIX);
    GdiFlush();
    Ink ink = InkOf(static_cast<const DWORD*>(bits), w, h);
    SelectObject(dc, oldFont);
    SelectObject(dc, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return ink;
}

Ink FromScreen(int x, int y, int w, int h) {
    const BITMAPINFO bi = TopDown32(w, h);
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    BitBlt(dc, 0, 0, w, h, screen, x, y, SRCCOPY);
    GdiFlush();
    Ink ink = InkOf(static_cast<const DWORD*>(bits), w, h);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return ink;
}

// A control's client area on the screen, cut to its parent's: a label may
// reach past the window's edge, where the frame is drawn instead.
RECT Visible(HWND child) {
    RECT r, parent;
    GetClientRect(child, &r);
    MapWindowPoints(child, nullptr, reinterpret_cast<POINT*>(&r), 2);
    HWND up = GetParent(child);
    GetClientRect(up, &parent);
    MapWindowPoints(up, nullptr, reinterpret_cast<POINT*>(&parent), 2);
    IntersectRect(&r, &r, &parent);
    return r;
}

BOOL CALLBACK Longest(HWND child, LPARAM param) {
    wchar_t name[32];
    GetClassNameW(child, name, 32);
    if (lstrcmpiW(name, L"Static") != 0) return TRUE;
    auto* best = reinterpret_cast<std::pair<HWND, int>*>(param);
    const int n = GetWindowTextLengthW(child);
    if (n > best->second) *best = {child, n};
    return TRUE;
}

// The box's text as it is on the screen, against the same text drawn here
// in the box's font twice: as it is, and with every letter beyond ASCII
// swapped for one that no font has. The screen must match the first.
int Text(HWND box) {
    std::pair<HWND, int> found{nullptr, 0};
    EnumChildWindows(box, Longest, reinterpret_cast<LPARAM>(&found));
    HWND label = found.first;
    if (!label) {
        std::fprintf(stderr, "win_probe: the box has no text\n");
        return 1;
    }
    std::wstring text(static_cast<std::size_t>(found.second) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(label, text.data(), found.second + 1)));
    const RECT r = Visible(label);
    const int w = r.right - r.left, h = r.bottom - r.top;

    // A message box sets the message font of the system parameters.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
    std::wstring missing = text;
    bool foreign = false;
    for (wchar_t& c : missing)
        if (c > 0x7f) c = 0xffff, foreign = true;

    const Ink screen = FromScreen(r.left, r.top, w, h);
    const Ink real = Render(text, font, w, h);
    const Ink boxes = Render(missing, font, w, h);
    DeleteObject(font);
    const int toReal = Differ(screen, real), toBoxes = Differ(screen, boxes);
    std::printf("text \"%s\" in %s %ld px at %ld,%ld %dx%d: %d ink pixels, %d differ from the text drawn here, "
                "%d from missing-glyph boxes\n",
                Narrow(text).c_str(), Narrow(metrics.lfMessageFont.lfFaceName).c_str(),
                metrics.lfMessageFont.lfHeight, r.left, r.top, w, h, screen.count(), toReal,
                toBoxes);
    if (!foreign) {
        std::fprintf(stderr, "win_probe: nothing beyond ASCII in the text\n");
        return 1;
    }
    if (screen.count() == 0 || real.count() == 0) {
        std::fprintf(stderr, "win_probe: no text drawn\n");
        return 1;
    }
    // Drawn twice by the same Wine in the same font, only the edges of a
    // few strokes may differ; boxes and glyphs differ in far more.
    if (toReal * 5 > real.count() || toBoxes <= 4 * toReal + 10) {
        std::fprintf(stderr, "win_probe: the text is drawn as missing-glyph boxes or not as expected\n");
        return 1;
    }
    return 0;
}

BOOL CALLBACK FirstButton(HWND child, LPARAM param) {
    wchar_t name[32];
    GetClassNameW(child, name, 32);
    if (lstrcmpiW(name, L"Button") != 0) return TRUE;
    *reinterpret_cast<HWND*>(param) = child;
    return FALSE;
}

int Button(HWND w) {
    HWND button = nullptr;
    EnumChildWindows(w, FirstButton, reinterpret_cast<LPARAM>(&button));
    if (!button) {
        std::fprintf(stderr, "win_probe: no button\n");
        return 1;
    }
    RECT r;
    GetWindowRect(button, &r);
    std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    return 0;
}

BOOL CALLBACK PrintLabel(HWND child, LPARAM) {
    wchar_t name[32];
    GetClassNameW(child, name, 32);
    if (lstrcmpiW(name, L"Static") != 0) return TRUE;
    const int n = GetWindowTextLengthW(child);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(child, text.data(), n + 1)));
    const RECT r = Visible(child);
    const Ink ink = FromScreen(r.left, r.top, r.right - r.left, r.bottom - r.top);
    int top = -1, bottom = -1;
    for (int y = 0; y < ink.height; ++y)
        for (int x = 0; x < ink.width; ++x)
            if (ink.on[static_cast<std::size_t>(y) * ink.width + x]) {
                if (top < 0) top = y;
                bottom = y;
            }
    std::printf("%d %s\n", top < 0 ? 0 : bottom - top + 1, Narrow(text).c_str());
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    // The game is dpi aware: see the same pixels it does.
    SetProcessDPIAware();
    if (argc != 3) {
        std::fprintf(stderr, "usage: win_probe frame|button|labels|text <title>\n");
        return 2;
    }
    const std::string what = argv[1];
    // The title comes in UTF-8 through Wine's command line in the ANSI code
    // page; the wide command line keeps it whole.
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    const std::string title = wargc == 3 ? Narrow(wargv[2]) : argv[2];
    HWND w = Find(title.c_str());
    if (!w) return 1;
    if (what == "frame") return Frame(w);
    if (what == "text") return Text(w);
    if (what == "button") return Button(w);
    if (what == "labels") return EnumChildWindows(w, PrintLabel, 0), 0;
    std::fprintf(stderr, "win_probe: unknown command %s\n", what.c_str());
    return 2;
}
