#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QString>

#include "VivirovVizivurad/Chat/Attachments.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Chat/VisionPreprocessor.h"
#include "tests/Chat/BuiltController.h"
#include "tests/support/QtHarness.h"

namespace vivirov::test {
namespace {

std::string writePNG(const TempDir& dir, const std::string& name, int width, int height,
                     QColor fill = QColor(200, 100, 50)) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(fill);
    const std::string path = dir.file(name);
    EXPECT_TRUE(image.save(QString::fromStdString(path), "PNG"));
    return path;
}

TEST(VisionPreprocessor, ScalesTheLongerSideDownToTheTargetAndNeverUp) {
    TempDir dir;
    struct Case {
        int width, height, expectedWidth, expectedHeight;
    } cases[] = {{1000, 500, 336, 168}, {200, 100, 200, 100}, {10000, 1, 336, 1}, {1, 10000, 1, 336}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        auto image = Attachments::loadImage(writePNG(dir, "shot.png", c.width, c.height));
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, c.expectedWidth);
        EXPECT_EQ(image->height, c.expectedHeight);
        EXPECT_EQ(image->rgb.size(), size_t(c.expectedWidth) * c.expectedHeight * 3);
        EXPECT_EQ(image->image.width(), c.width); // the unscaled image travels along
        EXPECT_EQ(image->name, "shot.png");
    }
    EXPECT_EQ(Attachments::loadImage(writePNG(dir, "wide.png", 1000, 500))->rgb.size(), 169344u);
}

TEST(VisionPreprocessor, KeepsColourOrderAndDrawsTransparencyAsBlack) {
    QImage opaque(4, 4, QImage::Format_ARGB32);
    opaque.fill(QColor(200, 100, 50));
    auto solid = VisionPreprocessor::process(opaque, "solid");
    ASSERT_TRUE(solid);
    EXPECT_EQ((std::vector<uint8_t>(solid->rgb.begin(), solid->rgb.begin() + 3)), (std::vector<uint8_t>{200, 100, 50}));

    QImage clear(4, 4, QImage::Format_ARGB32);
    clear.fill(QColor(255, 255, 255, 0));
    auto black = VisionPreprocessor::process(clear, "clear");
    ASSERT_TRUE(black);
    EXPECT_TRUE(std::all_of(black->rgb.begin(), black->rgb.end(), [](uint8_t b) { return b == 0; }));

    EXPECT_FALSE(VisionPreprocessor::process(QImage(), "empty"));
}

TEST(Attachments, LoadsByLowerCasedExtensionAndRefusesWhatItCannotRead) {
    TempDir dir;
    const auto notes = dir.write("NOTES.MD", "# plan\n");
    const auto photo = writePNG(dir, "PHOTO.PNG", 20, 10);
    const auto zip = dir.write("archive.zip", "PK");
    const auto badText = dir.write("bad.txt", std::string("ok \xC3\x28 no", 8));
    const auto fakeHeic = dir.write("IMG_1.HEIC", "not an image any plugin reads");
    const auto missing = dir.file("gone.py");
    const auto huge = dir.write("huge.txt", std::string(Attachments::maxTextBytes + 1, 'a'));

    auto batch = Attachments::load({notes, zip, photo, badText, fakeHeic, missing, huge});
    ASSERT_EQ(batch.texts.size(), 1u);
    EXPECT_EQ(batch.texts[0].name, "NOTES.MD");
    EXPECT_EQ(batch.texts[0].content, "# plan\n");
    ASSERT_EQ(batch.images.size(), 1u);
    EXPECT_EQ(batch.images[0].name, "PHOTO.PNG");
    EXPECT_EQ(batch.refused,
              (std::vector<std::string>{"archive.zip", "bad.txt", "IMG_1.HEIC", "gone.py", "huge.txt"}));
}

TEST(Attachments, NoticeNamesAtMostTwoRefusedFiles) {
    const std::string tail = " \xE2\x80\x94 code, text & images only";
    EXPECT_FALSE(Attachments::refusedNotice({}));
    EXPECT_EQ(Attachments::refusedNotice({"a.zip"}), "Can't attach a.zip" + tail);
    EXPECT_EQ(Attachments::refusedNotice({"a.zip", "b.pdf"}), "Can't attach a.zip, b.pdf" + tail);
    EXPECT_EQ(Attachments::refusedNotice({"a.zip", "b.pdf", "c.dmg"}), "Can't attach a.zip, b.pdf +1 more" + tail);
    EXPECT_EQ(Attachments::refusedNotice({"a", "b", "c", "d", "e"}), "Can't attach a, b +3 more" + tail);
}

using ControllerAttachments = BuiltController;

TEST_F(ControllerAttachments, DropsAttachInOrderAndNameTheRefused) {
    const auto first = dir.write("a.py", "print(1)\n");
    const auto second = dir.write("b.txt", "two");
    vm->ingest({first, dir.write("one.zip", "PK"), writePNG(dir, "pic.png", 40, 20)});
    vm->ingest({second});
    ASSERT_TRUE(qtWaitUntil([&] { return vm->attachments().size() == 2; }));
    EXPECT_EQ(vm->attachments()[0].name, "a.py");
    EXPECT_EQ(vm->attachments()[1].name, "b.txt");
    ASSERT_EQ(vm->imageAttachments().size(), 1u);
    EXPECT_EQ(vm->attachNotice(), "Can't attach one.zip \xE2\x80\x94 code, text & images only");

    // Direct calls drop what they refuse without a word.
    vm->addAttachment(dir.write("c.zip", "PK"));
    vm->addImageAttachment(dir.write("d.md", "text"));
    vm->addAttachment(dir.write("e.md", "three"));
    ASSERT_TRUE(qtWaitUntil([&] { return vm->attachments().size() == 3; }));
    EXPECT_EQ(vm->attachments()[2].name, "e.md");
    EXPECT_EQ(vm->imageAttachments().size(), 1u);
    EXPECT_EQ(vm->attachNotice(), "Can't attach one.zip \xE2\x80\x94 code, text & images only");
}

} // namespace
} // namespace vivirov::test
