// The option table's insides shared with the rest of the library: how a
// message's token for an option is written.
#ifndef TOLVANE_GEO_LIB_OPTIONS_H
#define TOLVANE_GEO_LIB_OPTIONS_H

#include <tolvane/geo_options.h>

namespace tolvane::geo {

// A token is the option's key between these two characters: control
// characters, which no option value or file name of a message holds in
// practice, so that wording a message never touches the rest of its text.
inline constexpr char TOKEN_OPEN = '\x1e';
inline constexpr char TOKEN_CLOSE = '\x1f';

} // namespace tolvane::geo

#endif
