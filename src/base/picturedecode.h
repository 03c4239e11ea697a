#pragma once
// The one way the program turns bytes from a controller into a picture: pictures
// fetched for the show window and pictures uploaded by a browser page pass the
// same bounds.

#include <QByteArray>
#include <QImage>

// Limits on what a controller's picture may cost us.
inline constexpr qint64 kMaxPictureBytes = 64LL * 1024 * 1024;
inline constexpr qint64 kMaxPicturePixels = 100LL * 1000 * 1000;
// Every buffer one decoding makes, together: the image in the format the decoder
// picks for the file (a 16-bit PNG takes 8 bytes a pixel), its conversion and its
// scaled copy. A few hundred kilobytes of zeros deflate to a 16-bit PNG of 100
// megapixels, which a pixel count alone lets through at 800 MB.
inline constexpr qint64 kMaxPictureDecodeBytes = 512LL * 1024 * 1024;

// Decodes a picture. False when it is refused (too many pixels, or too many bytes
// to decode); true with a null image when the bytes are no picture at all. The
// image has at most 8 bits a channel. *format, when given, receives the decoder's
// name of the format ("png", "jpeg", ...).
// With a valid fitInto (the screen the picture is shown on), a picture at least
// twice as large as it needs to be to fill that area comes back at a half, a
// quarter, ... of its size, never below what fits the area: a JPEG is decoded so
// (a phone's photo shows the same, several times faster), other formats are
// scaled down once decoded, so that the window never holds more than a few
// screens' worth of a huge picture.
bool DecodePicture(const QByteArray& body, QImage* image, QByteArray* format = nullptr,
                   const QSize& fitInto = QSize());

// Whether the bytes are a picture within the same bounds, without keeping it:
// where the format can decode at a reduced scale (JPEG) it does so, which still
// reads every byte of the picture at a fraction of the cost. *format as above.
bool CheckPicture(const QByteArray& body, QByteArray* format = nullptr);
