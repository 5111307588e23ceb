// The lock keys' state as the system keeps it for every window: on X11 through the Xkb
// indicators, on Windows through the key state. Elsewhere (offscreen, Wayland) the state cannot
// be read, and nothing is claimed about it.
#pragma once

#include <memory>
#include <optional>

struct LockKeyState {
    bool caps = false;
    bool num = false;
    bool scroll = false;
};

class LockKeyReader {
public:
    LockKeyReader();  // finds the platform's way once; needs the application object
    ~LockKeyReader();
    LockKeyReader(const LockKeyReader&) = delete;
    LockKeyReader& operator=(const LockKeyReader&) = delete;

    bool Available() const;
    // The state now, or nothing where it cannot be read.
    std::optional<LockKeyState> Read() const;

private:
    struct Xkb;
    std::unique_ptr<Xkb> xkb_;
};
