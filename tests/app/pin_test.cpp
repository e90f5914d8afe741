#include "model_fixture.h"

using namespace merrowfax;
using namespace merrowfax::testing;

namespace {

class Pin : public ModelTest {
protected:
    void SetUp() override { start(); }

    void answerPin(bool hasPin, std::string error = {}, bool business = false) {
        line->callbacks.onPin(hasPin, std::move(error), business);
        settle();
    }
    static VirtualNumber offered() { return *VirtualNumber::parse("0-1-555-0009"); }
    void deny(std::string reason) {
        line->callbacks.onDenied(std::move(reason));
        settle();
    }
};

TEST_F(Pin, InputErrorsNeverReachTheService) {
    struct Case {
        std::function<void(AppModel&)> act;
        const char* alert;
    };
    const Case cases[] = {
        {[](AppModel& m) { m.accounts().claimNumber("Me", "12", "1234"); },
         "Enter the full number, like 0-1-660-9141."},
        {[](AppModel& m) { m.accounts().claimNumber("Me", kAlice, "12a"); },
         "Enter the 4-digit PIN for that number."},
        {[](AppModel& m) { m.accounts().setPIN("123"); }, "Use a 4-digit PIN."},
        {[](AppModel& m) { m.accounts().changePIN("1234", "99"); }, "Use a 4-digit PIN."},
        {[](AppModel& m) { m.accounts().changePIN("1234", "12-34"); }, "Choose a different PIN."},
        {[](AppModel& m) { m.accounts().claimNewNumber("Ann", false, offered(), "12a4", "1234"); },
         "Choose a 4-digit PIN."},  // three digits, whatever follows
        {[](AppModel& m) {
             m.accounts().claimNewNumber("Ann", false, offered(), "12345", "12345");
         },
         "Choose a 4-digit PIN."},
        {[](AppModel& m) { m.accounts().claimNewNumber("Ann", false, offered(), "1234", "4321"); },
         "The two PINs do not match."},
    };
    for (const Case& c : cases) {
        c.act(*model);
        EXPECT_EQ(model->alertMessage(), c.alert);
        model->dismissAlert();
    }
    EXPECT_EQ(line->starts.size(), 1u);  // only the start-up registration
    EXPECT_EQ(model->account()->number.text(), kOwn);
}

TEST_F(Pin, AClaimShowsTheNewNumberAndStandsWhenTheServiceAgrees) {
    const Account before = *model->account();
    model->accounts().claimNumber("  Alice  ", "44 1 555 0001", "4-3-2-1");
    ASSERT_EQ(line->starts.size(), 2u);
    EXPECT_EQ(line->starts[1].number, kAlice);
    EXPECT_EQ(line->starts[1].name, "Alice");
    EXPECT_EQ(line->starts[1].pin, "4321");
    EXPECT_EQ(model->account()->number.text(), kAlice);
    EXPECT_EQ(model->account()->id, before.id);
    EXPECT_EQ(stored().account, model->account());

    answerPin(true);
    EXPECT_TRUE(model->accounts().hasPin());
    deny("late");  // the claim stood: a later denial restores nothing
    EXPECT_EQ(model->account()->number.text(), kAlice);
}

TEST_F(Pin, ARefusedClaimRestoresTheAccountBefore) {
    const Account before = *model->account();
    model->accounts().claimNumber("Alice", kAlice, "1111");
    deny("");
    EXPECT_EQ(model->alertMessage(), "Wrong PIN.");
    EXPECT_EQ(line->stops, 1);
    EXPECT_EQ(model->account(), before);
    EXPECT_EQ(stored().account, before);
    ASSERT_EQ(line->starts.size(), 3u);  // registered again with the old number
    EXPECT_EQ(line->starts[2].number, kOwn);
    EXPECT_TRUE(line->starts[2].pin.empty());
}

class FirstClaim : public Pin {
    void SetUp() override { start(/*withAccount=*/false); }
};

TEST_F(FirstClaim, WithoutAPinTheNewAccountStandsWhateverHappens) {
    model->accounts().beginClaim(account(kAlice, "Alice"), "", true);
    EXPECT_EQ(line->starts.back().accountKind, "personal");
    deny("Wrong PIN.");
    EXPECT_TRUE(model->account());
}

TEST_F(Pin, SavingAPinWaitsForTheServicesAnswer) {
    model->accounts().setPIN("1234");
    EXPECT_EQ(line->starts.back().pin, "1234");
    EXPECT_FALSE(model->alertMessage());
    answerPin(true);
    EXPECT_EQ(model->alertMessage(), "PIN saved. Another phone needs this PIN to use the number.");
    model->dismissAlert();

    model->accounts().changePIN("1234", "5678");
    EXPECT_EQ(line->starts.back().newPin, "5678");
    answerPin(true, "That PIN is not right.");
    EXPECT_EQ(model->alertMessage(), "That PIN is not right.");
    model->dismissAlert();
    answerPin(true);  // nothing waits any more
    EXPECT_FALSE(model->alertMessage());
}

TEST_F(Pin, TheServiceDecidesTheListedKind) {
    model->accounts().saveProfile("  Acme Bakery ", true);
    EXPECT_EQ(model->alertMessage(),
              "Business name saved. The directory lists this as a business.");
    EXPECT_EQ(model->account()->displayName, "Acme Bakery");
    EXPECT_EQ(line->starts.back().accountKind, "business");
    answerPin(false, {}, false);  // the service did not list it as a business
    EXPECT_EQ(model->account()->accountKind, "personal");
    EXPECT_EQ(stored().account->accountKind, "personal");
}

}  // namespace
