// ImageHolder: one IplImage together with a record of whether it is owned,
// plus bounds-checked pixel access for 8-bit images with 1 or 3 channels.
#ifndef OF_ULK_IMAGE_HOLDER_H
#define OF_ULK_IMAGE_HOLDER_H

#include <opencv2/core/types_c.h>

#include <cstdint>
#include <string>

namespace ulk::viz {

// The three bytes of one pixel in the image's channel order (blue, green,
// red for the program's BGR images).
struct Pixel3 {
    unsigned char c0 = 0;
    unsigned char c1 = 0;
    unsigned char c2 = 0;
};

inline bool operator==(Pixel3 a, Pixel3 b)
{
    return a.c0 == b.c0 && a.c1 == b.c1 && a.c2 == b.c2;
}
inline bool operator!=(Pixel3 a, Pixel3 b)
{
    return !(a == b);
}

class ImageHolder {
  public:
    // How the image is held. Values other than these three hold nothing.
    enum Mode : std::int32_t {
        Clone = 0,      // private copy, released by the holder
        Borrow = 1,     // the caller's image, never released by the holder
        BlankClone = 2, // all-zero copy of the format, released by the holder
    };

    explicit ImageHolder(IplImage* source = nullptr, Mode mode = Clone);
    // Copies follow the source holder's mode: a Clone holder is copied
    // pixel for pixel, a Borrow holder borrows the same image and a
    // BlankClone holder gets a new all-zero image of the same format.
    ImageHolder(const ImageHolder& other);
    ImageHolder& operator=(const ImageHolder& other);
    virtual ~ImageHolder();

    // Releases the current image and holds source in the given mode.
    // Returns whether an image is held afterwards.
    bool attach(IplImage* source, Mode mode);
    // Releases the current image and creates a new, uninitialised one.
    bool create(int width, int height, int depth, int channels);
    // Releases the current image and loads a file as 3-channel colour.
    bool load(const std::string& fileName);
    // Writes the held image to a file; nonzero on success, 0 on failure or
    // when the holder is empty.
    int save(const std::string& fileName) const;
    // Releases an owned image; the holder is empty afterwards in any mode.
    void release();

    bool isValid() const { return image_ != nullptr; }
    int width() const { return image_ ? image_->width : 0; }
    int height() const { return image_ ? image_->height : 0; }
    // The held image, null when empty; it stays owned by the holder.
    IplImage* image() const { return image_; }
    Mode mode() const { return mode_; }

    // Address of pixel (x, y), or null outside the image, on an empty
    // holder or for another channel count.
    unsigned char* pixelPtr3(int x, int y) const;
    Pixel3 getPixel3(int x, int y) const;
    // Returns the written address, null when nothing was written.
    unsigned char* setPixel3(int x, int y, Pixel3 value);

    unsigned char* pixelPtr1(int x, int y) const;
    unsigned char getPixel1(int x, int y) const;
    unsigned char* setPixel1(int x, int y, unsigned char value);

    // Sets `length` bytes from column x on `count` rows from row y of a
    // 1-channel image to the low byte of value. The block is clipped to
    // the image.
    void fillRows(int x, int y, int length, int count, int value);

  private:
    unsigned char* pixelPtr(int x, int y, int channels) const;

    IplImage* image_ = nullptr;
    Mode mode_ = Clone;
};

} // namespace ulk::viz

#endif
