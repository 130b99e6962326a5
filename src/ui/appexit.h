// Ending the application: the close sequence and the exit commands all end it through here, so
// a window test, which runs without the application's own event loop, can see that they did.
#pragma once

#include <functional>

namespace veltrin {

// Quits the application's event loop once the current event has been handled.
void EndApplication();

// Test hook: called instead of quitting; a null hook restores quitting.
void SetEndApplicationHook(std::function<void()> hook);

}  // namespace veltrin
