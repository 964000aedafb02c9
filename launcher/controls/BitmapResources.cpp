#include "launcher/controls/BitmapResources.h"

#include "launcher/controls/EmbeddedBitmaps.h"

#include <QPixmap>

namespace Vel {

QImage LoadBitmapResource(unsigned id) {
    for (std::size_t i = 0; i < kEmbeddedBitmapCount; ++i) {
        const auto& bitmap = kEmbeddedBitmaps[i];
        if (bitmap.resourceId != id) continue;
        QImage image;
        if (!image.loadFromData(bitmap.png, static_cast<int>(bitmap.size), "PNG")) return {};
        return image.convertToFormat(QImage::Format_ARGB32);
    }
    return {};
}

QIcon LoadIconResource(unsigned id) {
    const QImage image = LoadBitmapResource(id);
    if (image.isNull()) return {};
    return QIcon(QPixmap::fromImage(image));
}

}  // namespace Vel
