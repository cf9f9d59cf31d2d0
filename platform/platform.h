// The one seam between the game and the machine. Everything the game asks
// of the OS and the window toolkit is declared here; each backend
// (qt, win32, fake) defines these functions, and the build links one.
// No toolkit or OS type appears here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct POINT {
    int32_t x = 0;
    int32_t y = 0;
};

// right and bottom are exclusive.
struct RECT {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// ---- pointer -------------------------------------------------------------

// Moves the pointer to screen pixel (x, y). Failures are ignored by callers.
void SetCursorPos(int32_t x, int32_t y);
// Writes the pointer's screen position in pixels; the pointer never leaves
// the screen, so it reads 0..maxX, 0..maxY.
void GetCursorPos(POINT& p);
// Keeps the pointer inside *r (right/bottom exclusive), moving it in if it
// is outside; nullptr ends the confinement.
void ClipCursor(const RECT* r);
// From the hold to the end of the race the game moves, holds and reads the
// pointer anywhere on the primary screen. A backend that sees the pointer
// only over its own surfaces (Wayland) covers the screen meanwhile.
void TrackPointer(bool on);
// Why the pointer can no longer be followed in this race (the display's
// connection failed, say); empty while it can. The race then stops. Holds
// until tracking starts again.
std::string PointerLost();

// ---- clock ---------------------------------------------------------------

// A 32-bit millisecond count that advances steadily and wraps at 2^32.
uint32_t timeGetTime();
// Gives up the processor for about ms milliseconds.
void Sleep(uint32_t ms);

// ---- events --------------------------------------------------------------

// Handles all pending window events (repaints, input, clicks) and returns.
// Handlers may run inside it.
void PumpEvents();
// True once the player has closed the main window; the game's loops check
// it after every pump so that a close ends them.
bool QuitRequested();

// ---- screen and window ---------------------------------------------------

struct ScreenSize {
    double widthTwips = 0;
    double heightTwips = 0;
    double twipsPerPixelX = 15;
    double twipsPerPixelY = 15;
};
// The primary screen, in twips, and twips per pixel for each axis.
ScreenSize GetScreenSize();
// How many monitors the desktop spans (1 when the system cannot tell).
int32_t MonitorCount();

enum class Control { Form1, Command1, Label1, Label2 };
enum class ControlKind { PushButton, Label };

struct ControlLayout {
    Control id;
    ControlKind kind;
    const char* caption;  // UTF-8
    int32_t left, top, width, height;  // twips, within the client area
    int32_t tabIndex;
};

struct FormLayout {
    const char* caption;  // UTF-8
    int32_t clientWidth, clientHeight;  // twips
    const char* fontFace;  // UTF-8
    int32_t fontPoints;
    int32_t fontCharset;
    int32_t fontWeight;
    const char* const* fallbackFaces;  // tried in order when fontFace is missing
    std::size_t fallbackCount;
    const ControlLayout* controls;
    std::size_t controlCount;
};

struct WindowSize {
    double widthTwips = 0;
    double heightTwips = 0;
};
// The window's outer size, frame and title bar included.
WindowSize GetWindowSize(Control window);
// Move the window; positions of its outer top-left corner, in twips.
void SetWindowTop(Control window, float twips);
void SetWindowLeft(Control window, float twips);

// Take effect at once; seen at the next event pump.
void SetCaption(Control c, std::string_view utf8);
void SetEnabled(Control c, bool enabled);

// Creates the (hidden) main window from its layout; onCommand1 runs when
// the start button is pressed (click, Space, Enter).
void CreateForm(const FormLayout& layout, std::function<void()> onCommand1);
// Shows the main window, with the keyboard focus on the first control in
// tab order.
void ShowForm();
// Runs until the main window is closed; returns the process exit status.
int RunEventLoop();

// Prepares the toolkit. False when it cannot start (no display, say);
// *why then says what went wrong.
bool Init(int argc, char** argv, std::string* why);

inline constexpr const char* kApplicationTitle = "Project1";

// Modal, one OK button, no icon; returns when dismissed. A null title shows
// kApplicationTitle.
void ShowMessageBox(std::string_view prompt, const char* title = nullptr);

// ---- files, directories, time --------------------------------------------

// The directory that holds the executable, UTF-8, without a trailing
// separator.
std::string AppDirectory();
// The separator between a directory and a file name on this system.
char PathSeparator();
// The per-user folder for the game's files ($XDG_DATA_HOME/skorrel,
// %LOCALAPPDATA%\Skorrel), UTF-8; it may not exist yet. Empty when the
// system has none.
std::string UserDataDirectory();
// True when this process may create files in dir.
bool DirectoryWritable(const std::string& dir);
// Creates dir and any missing parents; false with *reason on a failure.
bool CreateDirectories(const std::string& dir, std::string* reason);

struct LocalTime {
    int32_t year = 1970, month = 1, day = 1;
    int32_t hour = 0, minute = 0, second = 0;
};
LocalTime GetLocalTime();

// A file opened by one of the calls below, closed by CloseFile.
struct File;

// Opens (creating it when missing) a file for appending. Every write then
// goes to the end of the file, even with other writers. On failure returns
// nullptr and sets *reason to the system's text.
File* OpenForAppend(const std::string& path, std::string* reason);
// The file's last byte, or -1 when it is empty (or cannot be read).
int LastByte(File* f);
// Writes all of data in one system write; false with *reason on a failure
// or a short write.
bool WriteAll(File* f, std::string_view data, std::string* reason);
// Flushes the file's data to the disk.
bool FlushToDisk(File* f, std::string* reason);

// Opens a regular file for reading; nullptr when it is missing, not a
// regular file (directory, FIFO, device) or unreadable. Never blocks.
File* OpenForReading(const std::string& path);
// Reads up to size bytes; returns the count, 0 at the end, -1 on an error.
std::ptrdiff_t ReadChunk(File* f, char* buffer, std::size_t size);

void CloseFile(File* f);

}  // namespace platform
