#include "console/outcome.h"

#include "core/burn_state.h"
#include "update/driver.h"
#include "update/endings.h"

const Outcome kOutcomes[] = {
    {kExitSuccess, "success", "the PLC holds the new firmware",
     "nothing; a USB model asks for its cable to be replugged"},
    {kExitCommandLine, "command-line",
     "the command line is wrong: an unknown option, a missing value, a port that is not there; "
     "nothing was sent",
     "mend the command (see --help and --list)"},
    {kExitRefused, "refused",
     "refused before any link: the image (missing, unreadable, empty, too large or too small for "
     "the model), a name with no model, or a model this build cannot reach; nothing was sent",
     "burn the image made for the PLC's model, through a link this program reaches"},
    {kExitNoLink, "no-link", "the link did not open, or another burn holds it; nothing was sent",
     "check the cable, the adapter and the port; wait until the other burn has ended"},
    {kExitBeforeHandOver, "before-hand-over",
     "failed while the PLC answered as its firmware does, before it took the order to restart "
     "into its boot loader (after \"NO RESPONSE @ State 3\" it may have taken it): the PLC is as "
     "it was and runs its firmware",
     "mend the cause the text names (the operator's guide), then burn again; after \"NO "
     "RESPONSE @ State 3\" or \"PLC DOES NOT enter the boot loader, ...\" switch the PLC off and "
     "on first"},
    {kExitInBootLoader, "in-boot-loader",
     "failed after the PLC took the order to restart into its boot loader, before the erase: it "
     "waits in its boot loader and may not run its old firmware until a burn succeeds",
     "mend the cause and burn again: the burn goes straight to the boot loader (if it does not "
     "answer, switch the PLC off and on first)"},
    {kExitFirmwareGone, "firmware-gone",
     "failed during the erase or the transfer: the PLC has no firmware until a burn succeeds",
     "mend the cause and burn again: the burn goes straight to the boot loader"},
    {kExitFlashWriteError, "flash-write-error",
     "the PLC could not write its flash (write protection?); it has no firmware until a burn "
     "succeeds",
     "re-power the PLC and burn again"},
    {kExitPromptUnanswered, "prompt-unanswered",
     "a replug or power-cycle prompt had no answer (no terminal, no command, or the command "
     "failed); the PLC has taken the order to restart into its boot loader",
     "replug or re-power the PLC and burn again; in a script give --replug-command or "
     "--power-cycle-command"},
    {kExitInterrupted, "interrupted",
     "interrupted (Ctrl-C); the line before says where the PLC was left",
     "as that line says; a PLC left in its boot loader takes the next burn"},
};
const int kOutcomeCount = sizeof kOutcomes / sizeof kOutcomes[0];

const Outcome& OutcomeOf(int code) {
  for (const Outcome& o : kOutcomes) {
    if (o.code == code) return o;
  }
  return kOutcomes[kOutcomeCount - 1];
}

int EndingCode() {
  const Ending* ending = RecordedEnding();
  return ending != nullptr ? ending->exitCode : kExitInterrupted;
}

const char* WhereThePlcIs() {
  if (flashStatus.load() != kFlashIdle) {
    return "the PLC's flash is wholly or partly erased: it has no firmware until a burn succeeds";
  }
  switch (burnReach.load()) {
    case kReachedNothing:
    case kReachedOpening:
      return "nothing was sent: the PLC is as it was";
    case kReachedLink:
      return "before the hand-over: the PLC runs its firmware, unless it had just taken the order "
             "to restart into its boot loader";
    default:
      return "after the order to restart into its boot loader: the PLC waits there and may not "
             "run its old firmware until a burn succeeds";
  }
}
