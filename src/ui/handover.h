// The Qt side of the window-thread hand-over: one queue for the whole process, drained on the GUI
// thread. Every worker of every window hands its window steps to this queue.
#pragma once

#include "monitor/worker.h"

namespace veltrin {

// The process-wide hand-over. Its window thread is the thread that owns the QApplication; a
// worker's step is queued and a coalesced queued call drains the queue on that thread (also
// inside modal dialogs' event loops, so the monitor keeps running while a dialog is open).
// A step handed over from the GUI thread itself runs inline.
// Call it first on the GUI thread after the QApplication exists (the main window does).
StepQueue& WindowHandOver();

}  // namespace veltrin
