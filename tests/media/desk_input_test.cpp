#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "media/desk_input.h"

namespace merrowfax::testing {
namespace {

// Records what would be posted, as short words.
class RecordingInjector final : public InputInjector {
public:
    std::vector<std::string> posted;
    QRect screen{100, 50, 1440, 900};  // a monitor that is not at the origin

    bool available() const override { return true; }
    QRect monitor() const override { return screen; }
    void move(QPoint p) override {
        posted.push_back("move " + std::to_string(p.x()) + "," + std::to_string(p.y()));
    }
    void button(int b, bool down) override {
        posted.push_back((down ? "down " : "up ") + std::to_string(b));
    }
    void key(std::uint32_t keysym, bool down) override {
        posted.push_back((down ? "key " : "unkey ") + std::to_string(keysym));
    }
    void text(std::u32string_view characters) override {
        posted.push_back("text " + std::to_string(characters.size()));
    }
    std::vector<std::string> take() { return std::exchange(posted, {}); }
};

using Words = std::vector<std::string>;

TEST(DeskInput, PointsMapOntoTheMonitorAndBadOnesPostNothing) {
    const QRect monitor(100, 50, 1440, 900);
    EXPECT_EQ(mapPoint(0.5, 0.25, monitor), QPoint(820, 275));
    EXPECT_EQ(mapPoint(-3, 7, monitor), QPoint(100, 949));
    EXPECT_FALSE(mapPoint(std::nan(""), 0.5, monitor));
    EXPECT_FALSE(mapPoint(0.5, 0.5, QRect(0, 0, 1, 900)));

    RecordingInjector screen;
    DeskInput input(screen);
    input.pointer(std::nan(""), 0.5, "down");
    input.click(INFINITY, 0, 1);
    EXPECT_TRUE(screen.take().empty());
}

TEST(DeskInput, PhasesClicksScrollTextAndKeysBecomeInput) {
    RecordingInjector screen;
    DeskInput input(screen);
    input.pointer(0, 0, "down");
    input.pointer(0.5, 0, "drag");
    input.pointer(0.5, 0.5, "up");
    input.pointer(0.5, 0.5, "up");  // nothing held: only a move
    EXPECT_EQ(screen.take(), (Words{"move 100,50", "down 1", "move 820,50", "move 820,500", "up 1",
                                    "move 820,500"}));

    input.click(0, 0, 0);
    input.click(0, 0, 2);
    input.click(0, 0, 1'000'000);
    EXPECT_EQ(screen.take(),
              (Words{"move 100,50", "down 1", "up 1", "move 100,50", "down 1", "up 1", "down 1",
                     "up 1", "move 100,50", "down 1", "up 1", "down 1", "up 1", "down 1", "up 1"}));

    // 1 234.9 is 800 pixels, 20 steps up; -3.7 is -3, carried; -37 more makes one down.
    input.scroll(0, 0, 1234.9);
    EXPECT_EQ(std::count(screen.posted.begin(), screen.posted.end(), "down 4"), 20);
    screen.take();
    input.scroll(0, 0, -3.7);
    EXPECT_EQ(screen.take(), (Words{"move 100,50"}));
    input.scroll(0, 0, -37);
    EXPECT_EQ(screen.take(), (Words{"move 100,50", "down 5", "up 5"}));

    input.text("h\xc3\xa9llo\nw\x01");
    input.key("delete");
    input.key("space");  // not a key of the table
    EXPECT_EQ(screen.take(),
              (Words{"text 5", "key 65293", "unkey 65293", "text 1", "key 65288", "unkey 65288"}));
    input.text(std::string(1'000'000, 'x'));
    EXPECT_EQ(screen.take(), (Words{"text 2000"}));
}

TEST(DeskInput, AFloodIsCutToTheRateButAHeldButtonIsAlwaysLetGo) {
    RecordingInjector screen;
    DeskInput input(screen);
    input.pointer(0, 0, "down");
    for (int i = 0; i < 10'000; ++i) input.pointer(0.5, 0.5, "drag");
    EXPECT_LE(screen.posted.size(), 1 + DeskInput::kActionsPerSecond + 5);
    screen.take();
    input.pointer(0.5, 0.5, "up");
    EXPECT_EQ(screen.take(), (Words{"move 820,500", "up 1"}));
}

}  // namespace
}  // namespace merrowfax::testing
