#include <gtest/gtest.h>

#include "VivirovVizivurad/App/MainWindow.h"
#include "tests/support/QtHarness.h"

TEST(MainWindow, OpensTitledVivirovAndCloses) {
    vivirov::test::qtApp();
    vivirov::MainWindow window;
    window.show();
    EXPECT_TRUE(vivirov::test::qtWaitUntil([&] { return window.isVisible(); }));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vivirov"));
    EXPECT_TRUE(window.close());
}
