#pragma once
// startOnce: runs `action` once after `ms` on a timer that the caller owns. Used instead of
// QTimer::singleShot with a functor, whose slot object Qt owns out of sight of the static analyzer,
// which then reports it as a leak.

#include <QTimer>

#include <utility>

template <typename Action>
void startOnce(QTimer& timer, int ms, Action&& action)
{
    timer.setSingleShot(true);
    timer.callOnTimeout(std::forward<Action>(action));
    timer.start(ms);
}
