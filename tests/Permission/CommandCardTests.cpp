#include <gtest/gtest.h>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "VivirovVizivurad/Chat/PermissionVerdict.h"
#include "VivirovVizivurad/Permission/CommandCardOverlay.h"
#include "VivirovVizivurad/Permission/VerdictButton.h"
#include "tests/ChatColumn/ColumnFixture.h"

namespace vivirov::test {
namespace {

// A window with a text field (standing in for the composer) and the card
// over the pane.
class Card : public ColumnFixture {
protected:
    Card() {
        window.resize(900, 700);
        auto* layout = new QVBoxLayout(&window);
        pane = new QWidget(&window);
        layout->addWidget(pane, 1);
        field = new QPlainTextEdit(&window);
        layout->addWidget(field);
        overlay = new CommandCardOverlay(*vm, pane);
        window.show();
        QCoreApplication::processEvents();
    }
    // A request as a host tool makes it; returns its verdict.
    std::shared_ptr<PermissionVerdict> ask(const std::string& tool, const std::string& command) {
        auto verdict = std::make_shared<PermissionVerdict>();
        vm->permissionGate().enqueue({UUID::random(), tool, command}, verdict);
        QCoreApplication::processEvents();
        return verdict;
    }
    static std::optional<bool> answer(const std::shared_ptr<PermissionVerdict>& verdict) {
        if (!verdict->delivered()) return std::nullopt;
        return verdict->takeFuture().get();
    }

    QWidget window;
    QWidget* pane;
    QPlainTextEdit* field;
    CommandCardOverlay* overlay;
};

TEST_F(Card, NothingShowsAndNoKeyActsWithoutARequest) {
    EXPECT_TRUE(overlay->isHidden());
    QTest::keyClick(&window, Qt::Key_Escape);
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_FALSE(vm->pendingCommand().has_value());
}

TEST_F(Card, ShowsTheRequestAndItsVerdictsAnswerIt) {
    auto verdict = ask("Bash", "git status && ls -la");
    ASSERT_FALSE(overlay->isHidden());
    EXPECT_EQ(overlay->toolLabel()->text(), "Bash");
    EXPECT_EQ(overlay->commandText()->toPlainText(), "git status && ls -la");
    EXPECT_EQ(overlay->denyButton()->text(), "Deny");
    EXPECT_EQ(overlay->executeButton()->text(), "Execute");
    EXPECT_EQ(overlay->executeButton()->tint(), VerdictButton::green());
    // The card sits at the bottom of the pane, 104 points up, at most 560 wide.
    const QRect card = overlay->card()->geometry();
    EXPECT_EQ(card.bottom() + 1, pane->height() - CommandCardOverlay::bottomPadding);
    EXPECT_LE(card.width(), CommandCardOverlay::maxCardWidth + 8);
    EXPECT_NEAR(card.center().x(), pane->width() / 2, 2);

    QTest::mouseClick(overlay->executeButton(), Qt::LeftButton);
    EXPECT_EQ(answer(verdict), true);
    QCoreApplication::processEvents();
    EXPECT_TRUE(overlay->isHidden());

    auto denied = ask("Write", "/tmp/x");
    QTest::mouseClick(overlay->denyButton(), Qt::LeftButton);
    EXPECT_EQ(answer(denied), false);
}

// Return while typing elsewhere must not approve the command on the card;
// Escape denies from anywhere.
TEST_F(Card, ReturnExecutesOnlyFromTheCardEscapeDeniesFromAnywhere) {
    auto first = ask("Bash", "rm -rf build");
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(answer(first), std::nullopt);
    EXPECT_EQ(field->toPlainText(), "\n") << "the key went to the field";

    overlay->executeButton()->setFocus();
    QTest::keyClick(overlay->executeButton(), Qt::Key_Return);
    EXPECT_EQ(answer(first), true);

    auto second = ask("Bash", "make");
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_EQ(answer(second), false);
}

// Two waiting requests: each verdict answers the one on screen, then the next shows.
TEST_F(Card, EachVerdictAnswersTheRequestOnScreen) {
    auto a = ask("Bash", "echo a");
    auto b = ask("Bash", "echo b");
    EXPECT_EQ(overlay->commandText()->toPlainText(), "echo a");
    QTest::mouseClick(overlay->denyButton(), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(answer(a), false);
    EXPECT_EQ(answer(b), std::nullopt);
    EXPECT_EQ(overlay->commandText()->toPlainText(), "echo b");
    QTest::mouseClick(overlay->executeButton(), Qt::LeftButton);
    EXPECT_EQ(answer(b), true);
}

TEST_F(Card, ClicksBesideTheCardReachThePane) {
    auto* under = new QPushButton("under", pane);
    under->setGeometry(10, 10, 80, 30);
    under->show();
    int clicks = 0;
    QObject::connect(under, &QPushButton::clicked, [&] { ++clicks; });
    auto verdict = ask("Bash", "ls");
    overlay->raise();
    QWidget* hit = pane->childAt(under->geometry().center());
    EXPECT_EQ(hit, under) << "the overlay takes no input outside its card";
    QTest::mouseClick(hit, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(answer(verdict), std::nullopt);
}

} // namespace
} // namespace vivirov::test
