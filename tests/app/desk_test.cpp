// Screen sharing's rules on both sides, with fake transports: who may
// control, which frames count, what a share says and sends.
#include <QBuffer>
#include <QImage>

#include "model_fixture.h"

namespace merrowfax::testing {
namespace {

using wire::events::Desk;

Desk desk(const char* from, const char* action, const char* device = "Mac") {
    Desk d;
    d.from = from;
    d.name = "Al";
    d.device = device;
    d.action = action;
    d.x = d.y = 0.5;
    return d;
}

wire::Bytes jpeg(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer out(&bytes);
    out.open(QIODevice::WriteOnly);
    image.save(&out, "JPG");
    const auto* p = reinterpret_cast<const std::byte*>(bytes.constData());
    return {p, p + bytes.size()};
}

class DeskTest : public ModelTest {
protected:
    void SetUp() override {
        start();
        line->open = line->accepts = true;
    }
    std::vector<std::string> deskRecords() const {
        std::vector<std::string> out;
        for (const auto& e : line->sentWithOp("desk")) out.push_back(*e.desk + " " + *e.to);
        return out;
    }
};

TEST_F(DeskTest, TheHostTakesControlOnlyFromItsViewerWhileAllowedAndByeEndsTheShare) {
    DeskController& share = model->desk();
    share.startSharing(kAlice);
    share.startSharing(kAlice);
    EXPECT_EQ(deskRecords(), (std::vector<std::string>{std::string("start ") + kAlice}));
    EXPECT_EQ(line->sentWithOp("text").at(0).text,
              "Sharing this Mac. Control stays off until this Mac allows it.");
    EXPECT_EQ(model->alertMessage(), "Screen sharing needs an X11 session for now.");

    fromLine(desk(kAlice, "click"));
    EXPECT_EQ(input->actions, 0) << "control is off";
    share.allowControl(true);
    EXPECT_TRUE(line->sentWithOp("desk").back().control.value_or(false));
    fromLine(desk(kBob, "click"));
    EXPECT_EQ(input->actions, 0) << "not the viewer";
    fromLine(desk(kAlice, "click"));
    EXPECT_GT(input->actions, 0);

    fromLine(desk(kAlice, "bye"));
    EXPECT_FALSE(share.deskShareTo());
    EXPECT_EQ(deskRecords().back(), std::string("stop ") + kAlice);
    EXPECT_TRUE(std::filesystem::exists(folder() / "friend"));
}

TEST_F(DeskTest, TheViewerShowsOnlyItsHostsFramesAndControlsOnlyADesktop) {
    DeskController& watch = model->desk();
    fromLine(desk(kAlice, "start", "iPad"));
    fromLine(desk(kAlice, "allow", "iPad"));
    EXPECT_EQ(watch.deskWatchFrom(), kAlice);
    EXPECT_FALSE(watch.deskCanControl()) << "an iPad cannot be controlled";
    watch.sendDeskEvent("click", 0.5, 0.5, 0, "", 2);
    EXPECT_TRUE(deskRecords().empty());

    fromLine(desk(kAlice, "start"));
    Desk allow = desk(kAlice, "allow");
    allow.control = true;
    fromLine(allow);
    ASSERT_TRUE(watch.deskCanControl());
    watch.sendDeskEvent("click", 0.5, 0.25, 0, "", 2);
    watch.sendDeskTyping("\n");
    const auto sent = line->sentWithOp("desk");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].n, 2);
    EXPECT_EQ(sent[1].key, "return");

    fromLine(wire::events::DeskFrame{jpeg(64, 40), kBob});
    fromLine(wire::events::DeskFrame{wire::Bytes(100, std::byte{0xff}), kAlice});
    wire::Bytes huge = jpeg(64, 40);  // its header claims 60 000 x 60 000 pixels
    for (std::size_t i = 0; i + 8 < huge.size(); ++i) {
        if (huge[i] == std::byte{0xff} && huge[i + 1] == std::byte{0xc0}) {
            for (std::size_t k : {i + 5, i + 7})
                huge[k] = std::byte{0xea}, huge[k + 1] = std::byte{0x60};
            break;
        }
    }
    fromLine(wire::events::DeskFrame{huge, kAlice});
    fromLine(wire::events::DeskFrame{jpeg(64, 40), kAlice});
    ASSERT_TRUE(waitUntil([&] { return watch.framesShown() == 1; }));
    EXPECT_EQ(watch.deskImage().size(), QSize(64, 40));

    fromLine(desk(kAlice, "stop"));
    EXPECT_FALSE(watch.deskWatchFrom());
    EXPECT_TRUE(watch.deskImage().isNull());
}

}  // namespace
}  // namespace merrowfax::testing
