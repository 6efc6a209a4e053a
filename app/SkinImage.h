#pragma once
#include <QIcon>
#include <QPixmap>

#include <string>

// A skin image as its file holds it and, when one lies beside it, as made
// at twice the size ("x@2x.png" for "x.png"). Each paint takes the one that
// suits the device painted on, so that on a screen scaled by two it is drawn
// at the screen's pixels instead of doubled, whatever the scale was when it
// was loaded. Null when neither file can be read.
class SkinImage {
public:
    SkinImage() = default;
    explicit SkinImage(const std::string& path);
    bool isNull() const { return m_one.isNull() && m_two.isNull(); }
    // In the window's coordinates, whatever the pixel density.
    QSize Size() const;
    const QPixmap& For(const QPaintDevice& device) const;
    QIcon Icon() const;

private:
    QPixmap m_one, m_two;
};

// The file name of the image made at twice the size: "@2x" before the extension.
std::string DoubleSizeImage(const std::string& path);
