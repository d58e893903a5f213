// Installing a plugin bundle into ./data/, step by step: unpack the package
// into a fresh staging directory (by tar, sandboxed where the kernel allows),
// check what came out, move it into place. Each step says why it failed.
#pragma once

// Each step sets `*keep` when it failed for this host's sake (too little of
// something, a disk read-only or failing), not for the package's: the
// package then stays for the next request.

// Unpacks the package read from `package` into the staging directory, held
// open as `*stage` (also on failure, when it was made).
bool unpack_bundle(int package, int *stage, bool *keep);

// Only files, directories and links, none replacing a directory in ./data/
// that is not empty.
bool bundle_fits(int stage, int data, bool *keep);

// Moves the staged bundle into ./data/ and makes it durable. `*touched` is
// set once anything in ./data/ was replaced or added: a move that failed
// before that left the installed bundle whole.
bool move_bundle_into_place(int stage, int data, bool *touched);

// Closes the staging directory (if `stage` is one) and removes what is left
// of it.
void remove_bundle_staging(int stage);
