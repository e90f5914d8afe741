#pragma once

namespace merrowfax {

// The two short sounds the program plays.
enum class SystemSound {
    ring = 1005,     // a call rings
    newText = 1007,  // a text arrived
};

class Sounds {
public:
    virtual ~Sounds() = default;
    virtual void play(SystemSound sound) = 0;
};

// For the command-line client and tests: nothing is played.
class SilentSounds final : public Sounds {
public:
    void play(SystemSound) override {}
};

}  // namespace merrowfax
