#!/bin/sh
# one_opener.sh SOURCE_DIR: files under ./tmp/ and ./data/ are opened only
# through the helpers of us/common/fs.cpp (open_exposed and its kin). Any
# other open-family call in the product fails this check: route it through
# fs.h, choosing open_exposed for what others can touch. Comment lines and
# fs.cpp itself are left out; each call found is printed.
grep -rnE '(^|[^_[:alnum:]])(open|openat|open64|fopen|freopen|opendir|creat|[io]?fstream)[[:space:]]*[(<{]' "$1/us" |
    grep -v '/us/common/fs\.cpp:' | grep -vE '^[^:]*:[0-9]+:[[:space:]]*(//|\*)' |
    awk '{ print "opened outside fs.cpp: " $0 } END { exit NR > 0 }'
