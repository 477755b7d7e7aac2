#include "image_holder.h"

#include "library_log.h"

#include <opencv2/core.hpp>
#include <opencv2/core/core_c.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstring>

namespace ulk::viz {

ImageHolder::ImageHolder(IplImage* source, Mode mode)
{
    attach(source, mode);
}

ImageHolder::ImageHolder(const ImageHolder& other)
{
    attach(other.image_, other.mode_);
}

ImageHolder& ImageHolder::operator=(const ImageHolder& other)
{
    if (this != &other)
        attach(other.image_, other.mode_);
    return *this;
}

ImageHolder::~ImageHolder()
{
    release();
}

bool ImageHolder::attach(IplImage* source, Mode mode)
{
    // Borrowing the image this holder already has would leave it either
    // released or leaked; keep it as it is instead.
    if (source != nullptr && source == image_ && mode == Borrow)
        return true;

    // The new image is made before the old one goes, so that a holder can
    // be given a copy of its own image.
    IplImage* held = nullptr;
    if (source != nullptr) {
        switch (mode) {
        case Clone:
            held = cvCloneImage(source);
            break;
        case Borrow:
            held = source;
            break;
        case BlankClone:
            held = cvCloneImage(source);
            if (held != nullptr)
                cvSetZero(held);
            break;
        default:
            break;
        }
    }
    release();
    mode_ = mode;
    image_ = held;
    return image_ != nullptr;
}

bool ImageHolder::create(int width, int height, int depth, int channels)
{
    release();
    mode_ = Clone;
    image_ = cvCreateImage(cvSize(width, height), depth, channels);
    return image_ != nullptr;
}

bool ImageHolder::load(const std::string& fileName)
{
    release();
    mode_ = Clone;
    cv::Mat loaded;
    try {
        QuietLibraryLog quiet;
        loaded = cv::imread(fileName, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        // A file the decoder chokes on counts as a failed load.
        return false;
    }
    if (loaded.empty())
        return false;
    image_ = cvCreateImage(cvSize(loaded.cols, loaded.rows), IPL_DEPTH_8U, 3);
    if (image_ == nullptr)
        return false;
    cv::Mat target = cv::cvarrToMat(image_);
    loaded.copyTo(target);
    return true;
}

int ImageHolder::save(const std::string& fileName) const
{
    if (image_ == nullptr)
        return 0;
    try {
        QuietLibraryLog quiet;
        return cv::imwrite(fileName, cv::cvarrToMat(image_)) ? 1 : 0;
    } catch (const cv::Exception&) {
        // An unknown extension or an unwritable format is a failed save.
        return 0;
    }
}

void ImageHolder::release()
{
    if (image_ != nullptr && (mode_ == Clone || mode_ == BlankClone))
        cvReleaseImage(&image_);
    image_ = nullptr;
}

unsigned char* ImageHolder::pixelPtr(int x, int y, int channels) const
{
    if (image_ == nullptr || image_->imageData == nullptr)
        return nullptr;
    if (image_->nChannels != channels)
        return nullptr;
    if (x < 0 || y < 0 || x >= image_->width || y >= image_->height)
        return nullptr;
    return reinterpret_cast<unsigned char*>(image_->imageData) +
           static_cast<std::ptrdiff_t>(y) * image_->widthStep +
           static_cast<std::ptrdiff_t>(x) * channels;
}

unsigned char* ImageHolder::pixelPtr3(int x, int y) const
{
    return pixelPtr(x, y, 3);
}

Pixel3 ImageHolder::getPixel3(int x, int y) const
{
    Pixel3 value;
    if (const unsigned char* p = pixelPtr3(x, y)) {
        value.c0 = p[0];
        value.c1 = p[1];
        value.c2 = p[2];
    }
    return value;
}

unsigned char* ImageHolder::setPixel3(int x, int y, Pixel3 value)
{
    unsigned char* p = pixelPtr3(x, y);
    if (p != nullptr) {
        p[0] = value.c0;
        p[1] = value.c1;
        p[2] = value.c2;
    }
    return p;
}

unsigned char* ImageHolder::pixelPtr1(int x, int y) const
{
    return pixelPtr(x, y, 1);
}

unsigned char ImageHolder::getPixel1(int x, int y) const
{
    const unsigned char* p = pixelPtr1(x, y);
    return p != nullptr ? *p : 0;
}

unsigned char* ImageHolder::setPixel1(int x, int y, unsigned char value)
{
    unsigned char* p = pixelPtr1(x, y);
    if (p != nullptr)
        *p = value;
    return p;
}

void ImageHolder::fillRows(int x, int y, int length, int count, int value)
{
    if (image_ == nullptr || image_->imageData == nullptr ||
        image_->nChannels != 1)
        return;
    // Clip the block [x, x + length) x [y, y + count) to the image; 64-bit
    // ends keep huge lengths from overflowing.
    const long long x0 = std::max<long long>(x, 0);
    const long long x1 =
        std::min<long long>(static_cast<long long>(x) + length, image_->width);
    const long long y0 = std::max<long long>(y, 0);
    const long long y1 =
        std::min<long long>(static_cast<long long>(y) + count, image_->height);
    if (x0 >= x1 || y0 >= y1)
        return;
    const unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    unsigned char* data = reinterpret_cast<unsigned char*>(image_->imageData);
    for (long long row = y0; row < y1; ++row)
        std::memset(data + row * image_->widthStep + x0, byte,
                    static_cast<std::size_t>(x1 - x0));
}

} // namespace ulk::viz
