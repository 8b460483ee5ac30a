// A decoded answer in one short line of text, from the field table's values
// as the Answered event tells them: the code, then each field by its report
// name with its values, e.g. "R: dispensed 5,3,2,1 rejected 0,0,1,0".  The
// wire trace puts it on the answer's line; the frame tool shows it beside
// the answer's bytes.
#pragma once

#include "console/ConsoleEvents.h"

#include <string>

// The per-answer fields only: a batch's sums and totals are the counters'
// state, not the frame's, and are left out.  A dispense-type or PURGE answer
// gives its counts as the frame holds them ("-" for a box it ends before),
// counted or not.  "" when the answer has no code; the code alone when it
// has no fields.
std::string AnswerSummary(const ev::Answer& answer);
