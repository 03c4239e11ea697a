#pragma once
// The one way the program turns bytes from a controller into a picture: pictures
// fetched for the show window and pictures uploaded by a browser page pass the
// same bounds.

#include <QByteArray>
#include <QImage>

// Limits on what a controller's picture may cost us.
inline constexpr qint64 kMaxPictureBytes = 64LL * 1024 * 1024;
inline constexpr qint64 kMaxPicturePixels = 100LL * 1000 * 1000;

// Decodes a picture. False when it is refused (too many pixels); true with a null
// image when the bytes are no picture at all. *format, when given, receives the
// decoder's name of the format ("png", "jpeg", ...).
bool DecodePicture(const QByteArray& body, QImage* image, QByteArray* format = nullptr);
