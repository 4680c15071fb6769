// Copies that run beside the copy walk: the walk decides what to copy and
// goes on while one worker thread copies, and the outcomes are reported on the
// walk's own thread in the order the walk decided them.
#ifndef KORVANE_ENGINE_COPY_QUEUE_H
#define KORVANE_ENGINE_COPY_QUEUE_H

#include "text/wide_string.h"

// Told of one finished copy on the walk's thread: source, target, whether it was made.
typedef void (*CopyReporter)(const WideString& source, const WideString& target, bool copied);

// Starts the worker; until stopCopyQueue, queueCopy hands copies to it.
void startCopyQueue(CopyReporter reporter);

// True between startCopyQueue and stopCopyQueue.
bool copyQueueActive();

// Hands over a copy of source over target; reports what has finished, and
// waits (reporting) while too many copies are outstanding.
void queueCopy(const WideString& source, const WideString& target);

// Reports, in order, the copies that have finished; never waits.
void reportFinishedCopies();

// Waits for every copy handed over and reports each, in order.
void finishQueuedCopies();

// Finishes what is queued, then ends the worker.
void stopCopyQueue();

#endif
