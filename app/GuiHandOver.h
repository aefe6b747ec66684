#pragma once
// Joins the runtime's hand-over of calls to the GUI thread with Qt's event
// loop: a worker that queues a call (a log line, a preview picture) wakes the
// loop, which then runs the queued calls; waits of the GUI thread for a
// worker process the pending window events.

void InstallGuiHandOver();
void RemoveGuiHandOver();
