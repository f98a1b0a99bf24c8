#!/usr/bin/env bash
# Stops and removes the throw-away PostgreSQL servers that a crashed test left
# under PREFIX-* (tests/throwawaypostgres.h). CTest runs it after the tests
# that start them, whether they passed or not.
#   pg-cleanup.sh PREFIX
set -u
prefix="${1:?usage: pg-cleanup.sh PREFIX}"
pg_ctl=$(ls /usr/lib/postgresql/*/bin/pg_ctl 2>/dev/null | tail -1)
as_owner=() # initdb refuses root, so as root the servers are the postgres user's
[[ $(id -u) == 0 ]] && as_owner=(runuser -u postgres --)
for folder in "$prefix"-*; do
    [[ -d "$folder" ]] || continue
    if [[ -f "$folder/data/postmaster.pid" ]]; then
        "${as_owner[@]}" "$pg_ctl" -D "$folder/data" stop -m immediate
        echo "pg-cleanup: stopped the server left in $folder"
    fi
    rm -rf "$folder"
done
exit 0
