#include "image_holder.h"
#include "support.h"

#include <gtest/gtest.h>
#include <opencv2/core/core_c.h>

#include <cstring>
#include <memory>

using namespace ulk::viz;

namespace {

struct ImageDeleter {
    void operator()(IplImage* image) const { cvReleaseImage(&image); }
};
using OwnedImage = std::unique_ptr<IplImage, ImageDeleter>;

// An 8-bit image whose every byte, padding included, holds a value derived
// from its offset, so that copies and stray writes are visible.
OwnedImage patternImage(int width, int height, int channels)
{
    OwnedImage image(
        cvCreateImage(cvSize(width, height), IPL_DEPTH_8U, channels));
    for (int i = 0; i < image->imageSize; ++i)
        image->imageData[i] = static_cast<char>(i * 7 + 1);
    return image;
}

bool samePixels(const IplImage* a, const IplImage* b)
{
    return a->width == b->width && a->height == b->height &&
           a->nChannels == b->nChannels && a->widthStep == b->widthStep &&
           std::memcmp(a->imageData, b->imageData, a->imageSize) == 0;
}

bool allZero(const IplImage* image)
{
    return cvNorm(image, nullptr, CV_L1) == 0.0;
}

} // namespace

TEST(ImageHolder, EmptyHolderHasNoImageAndRefusesEverything)
{
    ImageHolder holder(nullptr, ImageHolder::Clone);
    EXPECT_FALSE(holder.isValid());
    EXPECT_EQ(holder.image(), nullptr);
    EXPECT_EQ(holder.width(), 0);
    EXPECT_EQ(holder.height(), 0);
    EXPECT_EQ(holder.save(testTempDir("empty_holder") + "/x.png"), 0);
    EXPECT_EQ(holder.getPixel3(0, 0), Pixel3{});
    EXPECT_EQ(holder.setPixel3(0, 0, Pixel3{1, 2, 3}), nullptr);
    EXPECT_EQ(holder.setPixel1(0, 0, 9), nullptr);
}

TEST(ImageHolder, EachModeHoldsWhatItPromises)
{
    OwnedImage source = patternImage(6, 4, 3);
    const OwnedImage before(cvCloneImage(source.get()));

    ImageHolder clone(source.get(), ImageHolder::Clone);
    ASSERT_TRUE(clone.isValid());
    EXPECT_NE(clone.image(), source.get());
    EXPECT_TRUE(samePixels(clone.image(), source.get()));
    clone.setPixel3(0, 0, Pixel3{0, 0, 0});
    EXPECT_TRUE(samePixels(source.get(), before.get())) << "clone is shared";

    ImageHolder blank(source.get(), ImageHolder::BlankClone);
    ASSERT_TRUE(blank.isValid());
    EXPECT_NE(blank.image(), source.get());
    EXPECT_EQ(blank.width(), 6);
    EXPECT_EQ(blank.height(), 4);
    EXPECT_EQ(blank.image()->nChannels, 3);
    EXPECT_TRUE(allZero(blank.image()));
    EXPECT_TRUE(samePixels(source.get(), before.get()));

    {
        ImageHolder borrow(source.get(), ImageHolder::Borrow);
        EXPECT_EQ(borrow.image(), source.get());
    }
    // The borrowed image outlives its holder (ASan would flag a release).
    source->imageData[0] = 42;
    EXPECT_EQ(source->imageData[0], 42);

    ImageHolder unknown(source.get(), static_cast<ImageHolder::Mode>(7));
    EXPECT_FALSE(unknown.isValid());
    EXPECT_EQ(unknown.mode(), 7);
}

class ImageHolderCopy : public ::testing::TestWithParam<ImageHolder::Mode> {};

TEST_P(ImageHolderCopy, CopyAndAssignmentFollowTheSourceMode)
{
    const ImageHolder::Mode mode = GetParam();
    SCOPED_TRACE(::testing::Message() << "mode " << mode);
    OwnedImage source = patternImage(5, 3, 3);
    ImageHolder original(source.get(), mode);
    // Non-zero content, so that a blank copy differs from its source.
    original.setPixel3(1, 1, Pixel3{9, 9, 9});
    const IplImage* held = original.image();

    ImageHolder copied(original);
    ImageHolder assigned;
    assigned = original;
    for (const ImageHolder* copy : {&copied, &assigned}) {
        ASSERT_TRUE(copy->isValid());
        EXPECT_EQ(copy->mode(), mode);
        if (mode == ImageHolder::Borrow) {
            EXPECT_EQ(copy->image(), held);
        } else {
            EXPECT_NE(copy->image(), held);
            EXPECT_EQ(samePixels(copy->image(), held),
                      mode == ImageHolder::Clone);
        }
        if (mode == ImageHolder::BlankClone) {
            EXPECT_TRUE(allZero(copy->image()));
        }
    }

    // Self-assignment keeps the very same image.
    const ImageHolder& alias = original;
    original = alias;
    EXPECT_EQ(original.image(), held);
    EXPECT_EQ(original.mode(), mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, ImageHolderCopy,
                         ::testing::Values(ImageHolder::Clone,
                                           ImageHolder::Borrow,
                                           ImageHolder::BlankClone));

TEST(ImageHolder, AttachingNullToABorrowerKeepsTheBorrowedImage)
{
    OwnedImage source = patternImage(4, 4, 1);
    ImageHolder holder(source.get(), ImageHolder::Borrow);
    EXPECT_FALSE(holder.attach(nullptr, ImageHolder::Clone));
    EXPECT_FALSE(holder.isValid());
    EXPECT_EQ(holder.getPixel1(0, 0), 0);
    source->imageData[3] = 5; // still alive
    EXPECT_EQ(source->imageData[3], 5);
}

TEST(ImageHolder, SavedImageLoadsBackAsColour)
{
    const std::string dir = testTempDir("holder_files");
    OwnedImage grey = patternImage(7, 5, 1);
    ImageHolder holder(grey.get(), ImageHolder::Borrow);
    ASSERT_NE(holder.save(dir + "/grey.png"), 0);
    EXPECT_EQ(holder.save(dir + "/grey.unknown_extension"), 0);

    ImageHolder loaded;
    ASSERT_TRUE(loaded.load(dir + "/grey.png"));
    EXPECT_EQ(loaded.mode(), ImageHolder::Clone);
    ASSERT_EQ(loaded.image()->nChannels, 3);
    EXPECT_EQ(loaded.width(), 7);
    EXPECT_EQ(loaded.height(), 5);
    const unsigned char g = holder.getPixel1(6, 4);
    EXPECT_EQ(loaded.getPixel3(6, 4), (Pixel3{g, g, g}));

    EXPECT_FALSE(loaded.load(dir + "/missing.png"));
    EXPECT_FALSE(loaded.isValid());
}

// (x, y) positions just outside a 5 x 4 image.
class ImageHolderOutside
    : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ImageHolderOutside, ReadsBlackAndWritesNothing)
{
    const auto [x, y] = GetParam();
    SCOPED_TRACE(::testing::Message() << "x " << x << ", y " << y);
    OwnedImage colour = patternImage(5, 4, 3);
    OwnedImage grey = patternImage(5, 4, 1);
    const OwnedImage colourBefore(cvCloneImage(colour.get()));
    const OwnedImage greyBefore(cvCloneImage(grey.get()));
    ImageHolder c(colour.get(), ImageHolder::Borrow);
    ImageHolder g(grey.get(), ImageHolder::Borrow);

    EXPECT_EQ(c.pixelPtr3(x, y), nullptr);
    EXPECT_EQ(c.getPixel3(x, y), Pixel3{});
    EXPECT_EQ(c.setPixel3(x, y, Pixel3{9, 9, 9}), nullptr);
    EXPECT_EQ(g.getPixel1(x, y), 0);
    EXPECT_EQ(g.setPixel1(x, y, 9), nullptr);
    EXPECT_TRUE(samePixels(colour.get(), colourBefore.get()));
    EXPECT_TRUE(samePixels(grey.get(), greyBefore.get()));
}

INSTANTIATE_TEST_SUITE_P(Edges, ImageHolderOutside,
                         ::testing::Values(std::make_pair(-1, 0),
                                           std::make_pair(0, -1),
                                           std::make_pair(5, 0),
                                           std::make_pair(0, 4),
                                           std::make_pair(5, 4)));

TEST(ImageHolder, PixelsAreAddressedThroughTheRowStepFromTheBufferStart)
{
    // Width 5 x 3 bytes pads each row to 16 bytes.
    OwnedImage colour = patternImage(5, 3, 3);
    ASSERT_EQ(colour->widthStep, 16);
    // A region of interest must not move the addressing.
    cvSetImageROI(colour.get(), cvRect(1, 1, 2, 2));
    ImageHolder holder(colour.get(), ImageHolder::Borrow);
    unsigned char* base = reinterpret_cast<unsigned char*>(colour->imageData);
    EXPECT_EQ(holder.pixelPtr3(0, 0), base);
    EXPECT_EQ(holder.pixelPtr3(4, 2), base + 2 * 16 + 12);

    EXPECT_EQ(holder.setPixel3(4, 2, Pixel3{10, 20, 30}), base + 44);
    EXPECT_EQ(base[44], 10);
    EXPECT_EQ(base[45], 20);
    EXPECT_EQ(base[46], 30);
    EXPECT_EQ(holder.getPixel3(4, 2), (Pixel3{10, 20, 30}));
}

TEST(ImageHolder, AccessRequiresTheMatchingChannelCount)
{
    OwnedImage colour = patternImage(4, 4, 3);
    OwnedImage grey = patternImage(4, 4, 1);
    ImageHolder c(colour.get(), ImageHolder::Borrow);
    ImageHolder g(grey.get(), ImageHolder::Borrow);
    EXPECT_EQ(g.pixelPtr3(1, 1), nullptr);
    EXPECT_EQ(c.pixelPtr1(1, 1), nullptr);
    EXPECT_EQ(c.setPixel1(1, 1, 3), nullptr);
    EXPECT_EQ(g.setPixel3(1, 1, Pixel3{1, 2, 3}), nullptr);
    EXPECT_NE(g.pixelPtr1(1, 1), nullptr);
    EXPECT_NE(c.pixelPtr3(1, 1), nullptr);

    // fillRows works on 1-channel images only.
    const OwnedImage before(cvCloneImage(colour.get()));
    c.fillRows(0, 0, 4, 4, 0);
    EXPECT_TRUE(samePixels(colour.get(), before.get()));
}

struct FillCase {
    int x, y, length, count;
};

void PrintTo(const FillCase& c, std::ostream* os)
{
    *os << "x " << c.x << " y " << c.y << " length " << c.length << " count "
        << c.count;
}

class ImageHolderFillRows : public ::testing::TestWithParam<FillCase> {};

// On a 5 x 6 grey image with row step 8, fillRows sets exactly the part of
// the block that lies inside the image, and no padding byte.
TEST_P(ImageHolderFillRows, FillsTheBlockClippedToTheImage)
{
    const FillCase fc = GetParam();
    SCOPED_TRACE(::testing::Message()
                 << "x " << fc.x << " y " << fc.y << " length " << fc.length
                 << " count " << fc.count);
    OwnedImage grey(cvCreateImage(cvSize(5, 6), IPL_DEPTH_8U, 1));
    ASSERT_EQ(grey->widthStep, 8);
    std::memset(grey->imageData, 0, grey->imageSize);
    ImageHolder holder(grey.get(), ImageHolder::Borrow);
    holder.fillRows(fc.x, fc.y, fc.length, fc.count, 0x1FF);

    const auto* data = reinterpret_cast<unsigned char*>(grey->imageData);
    for (int row = 0; row < 6; ++row) {
        for (int col = 0; col < 8; ++col) {
            const bool inBlock = col >= fc.x && col < fc.x + fc.length &&
                                 row >= fc.y && row < fc.y + fc.count;
            const bool expected = inBlock && col < 5;
            EXPECT_EQ(data[row * 8 + col], expected ? 0xFF : 0)
                << "row " << row << " col " << col;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ImageHolderFillRows,
    ::testing::Values(FillCase{1, 2, 3, 2}, // the plain case
                      FillCase{-2, 0, 4, 1}, FillCase{3, 4, 10, 5},
                      FillCase{0, -1, 5, 3}, FillCase{0, 0, 5, 0},
                      FillCase{6, 0, 2, 2}, FillCase{0, 0, -3, 2}));
