#pragma once

#include <QObject>
#include <QStringList>

// What several signals carried, in the order they came, as texts: one
// sequence shows the order across objects as well as within one.
class Recorder : public QObject
{
public:
    template<typename Source, typename Signal, typename Text>
    void watch(Source *source, Signal signal, Text text)
    {
        connect(source, signal, this, [this, text] { events << text(); });
    }

    QStringList events;
};
