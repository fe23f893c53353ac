// Writes the window icon at one size for the desktop's icon theme: enlargements repeat the nearest
// pixel (the icon is pixel art and must stay sharp), reductions average it.
//
//     scale_icon SOURCE.png SIZE OUT.png

#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: scale_icon SOURCE.png SIZE OUT.png\n");
        return 2;
    }
    const QImage source(QString::fromLocal8Bit(argv[1]));
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[2]).toInt(&ok);
    if (source.isNull() || !ok || size <= 0) {
        std::fprintf(stderr, "scale_icon: cannot read %s or size %s\n", argv[1], argv[2]);
        return 1;
    }
    const QImage rgba = source.convertToFormat(QImage::Format_ARGB32);
    const Qt::TransformationMode mode
        = size >= rgba.width() ? Qt::FastTransformation : Qt::SmoothTransformation;
    const QImage scaled = rgba.scaled(size, size, Qt::IgnoreAspectRatio, mode);
    if (!scaled.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "scale_icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
