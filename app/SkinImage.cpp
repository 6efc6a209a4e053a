#include "app/SkinImage.h"

#include <QPaintDevice>

#include "platform/Trace.h"

std::string DoubleSizeImage(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + "@2x";
    return path.substr(0, dot) + "@2x" + path.substr(dot);
}

SkinImage::SkinImage(const std::string& path) {
    if (m_two.load(QString::fromStdString(DoubleSizeImage(path))))
        m_two.setDevicePixelRatio(2.0);
    if (!m_one.load(QString::fromStdString(path)) && m_two.isNull())
        DebugTrace("skin image not loaded: %s\n", path.c_str());
}

QSize SkinImage::Size() const {
    return (m_one.isNull() ? m_two : m_one).deviceIndependentSize().toSize();
}

const QPixmap& SkinImage::For(const QPaintDevice& device) const {
    return (device.devicePixelRatioF() > 1.0 && !m_two.isNull()) || m_one.isNull() ? m_two : m_one;
}

QIcon SkinImage::Icon() const {
    QIcon icon;
    for (const QPixmap* pixmap : {&m_one, &m_two})
        if (!pixmap->isNull())
            icon.addPixmap(*pixmap);
    return icon;
}
