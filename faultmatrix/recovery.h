// The names of what the operator's guide tells the operator to do after a burn's ending (the
// remedy of its row in update/endings.h), as the fault matrix prints them. The fault matrix does
// it after every failed burn and burns again; the guide test holds the table against the guide's
// "What to do" column.
#pragma once

#include "update/endings.h"

inline const char* RemedyName(Remedy r) {
  switch (r) {
    case Remedy::kDone:
      return "nothing";
    case Remedy::kNotReached:
      return "mend the image or the link";
    case Remedy::kAgain:
      return "again";
    case Remedy::kPowerCycle:
      return "off and on, again";
    case Remedy::kOtherCopy:
      return "the other copy";
    case Remedy::kNone:
      return "none: supplier";
  }
  return "?";
}
