// Built as a static plugin of the program: moc exports it for qRegisterStaticPluginFunction.
#define QT_STATICPLUGIN

#include "app/resourcepictures.h"

#include <QFile>
#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QImageReader>
#include <QtPlugin>

namespace {

// Set while the built-in reader is being found, so that the plugin below declines and Qt falls back on it.
thread_local bool t_findingBuiltIn = false;

bool isResource(const QIODevice* device)
{
    const auto* file = qobject_cast<const QFile*>(device);
    return file != nullptr && file->fileName().startsWith(QLatin1String(":/"));
}

class ResourcePictureHandler : public QImageIOHandler
{
public:
    bool canRead() const override
    {
        return device() != nullptr && device()->peek(8) == QByteArrayLiteral("\x89PNG\r\n\x1a\n");
    }

    bool read(QImage* image) override
    {
        QImageReader builtIn(device(), QByteArrayLiteral("png"));
        builtIn.setAutoDetectImageFormat(false);
        // The reader finds its handler on its first use, and this plugin declines meanwhile.
        t_findingBuiltIn = true;
        const bool found = builtIn.canRead();
        t_findingBuiltIn = false;
        return found && builtIn.read(image);
    }
};

} // namespace

class ResourcePicturePlugin : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "resourcepictures.json")

public:
    Capabilities capabilities(QIODevice* device, const QByteArray& format) const override
    {
        if (t_findingBuiltIn || format != "png" || !isResource(device))
            return {};
        return CanRead;
    }

    QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override
    {
        auto* handler = new ResourcePictureHandler;
        handler->setDevice(device);
        handler->setFormat(format);
        return handler;
    }
};

// Made by moc, from the metadata above.
const QStaticPlugin qt_static_plugin_ResourcePicturePlugin();

void useBuiltInReaderForResourcePictures()
{
    static const bool registered = [] {
        qRegisterStaticPluginFunction(qt_static_plugin_ResourcePicturePlugin());
        return true;
    }();
    Q_UNUSED(registered);
}

#include "resourcepictures.moc"
