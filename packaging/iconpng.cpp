// Build-time host tool: writes the icon theme's PNG files from the window
// icon, so that the .ico stays the one source of the picture.
//   iconpng <icon.ico> <output folder> <size>...   writes <size>.png each
// A size the icon holds is copied as it is; any other is scaled smoothly
// from the largest image.
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QImageReader>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fputs("usage: iconpng <icon.ico> <output folder> <size>...\n", stderr);
        return 2;
    }
    QImageReader reader(args.at(1));
    QList<QImage> images;
    for (int i = 0; i < reader.imageCount() && reader.jumpToImage(i); ++i) {
        const QImage image = reader.read();
        if (!image.isNull())
            images << image.convertToFormat(QImage::Format_ARGB32);
    }
    if (images.isEmpty()) {
        std::fprintf(stderr, "iconpng: cannot read %s: %s\n", qPrintable(args.at(1)),
                     qPrintable(reader.errorString()));
        return 1;
    }
    QImage largest = images.first();
    for (const QImage &image : qAsConst(images)) {
        if (image.width() > largest.width())
            largest = image;
    }
    QDir().mkpath(args.at(2));
    for (int a = 3; a < args.size(); ++a) {
        bool ok = false;
        const int size = args.at(a).toInt(&ok);
        if (!ok || size <= 0) {
            std::fprintf(stderr, "iconpng: not a size: %s\n", qPrintable(args.at(a)));
            return 2;
        }
        QImage out;
        for (const QImage &image : qAsConst(images)) {
            if (image.width() == size && image.height() == size)
                out = image;
        }
        if (out.isNull())
            out = largest.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QString path = QDir(args.at(2)).filePath(QStringLiteral("%1.png").arg(size));
        if (!out.save(path, "PNG")) {
            std::fprintf(stderr, "iconpng: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
