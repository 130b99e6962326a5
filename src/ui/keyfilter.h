// The number fields' typing rule (interval, data length, save time, the group's range): only
// digits, plus the characters in `extra`, are typed. Keys that type nothing (cursor keys),
// editing and focus keys (Backspace, Delete, Tab, Escape) keep working. Enter is the caller's:
// every field moves on with it, and some also store their value.
#pragma once

#include <QStringView>

class QKeyEvent;

namespace veltrin {

// True when `key` must not reach the field.
bool SwallowNonDigitKey(const QKeyEvent* key, QStringView extra = {});

// True for Return and Enter.
bool IsEnterKey(const QKeyEvent* key);

// True for a Return or Enter the keyboard repeats while it is held. The add dialogs take one
// Enter per press: a held key must not walk on to "Add" and press it too (or again and again
// when the address is refused).
bool IsRepeatedEnter(const QKeyEvent* key);

}  // namespace veltrin
