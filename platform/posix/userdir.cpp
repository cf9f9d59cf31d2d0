// The per-user data folder on freedesktop systems.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.h"

namespace platform {

std::string UserDataDirectory() {
    // Only an absolute XDG_DATA_HOME counts; otherwise ~/.local/share.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return std::string(xdg) + "/skorrel";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') {
        home = pw->pw_dir;
    } else {
        return {};
    }
    return home + "/.local/share/skorrel";
}

}  // namespace platform
