#!/bin/sh
# Runs the command given with OSP_TLS_PORT naming a local HTTPS server that
# takes TLS 1.2 and later only (the committed test certificate) and answers
# 200 to any request; the server ends with the command.
here=$(dirname "$0")
log=$(mktemp)
openssl s_server -accept 127.0.0.1:0 -cert "$here/localhost.crt" -key "$here/localhost.key" \
    -no_tls1 -no_tls1_1 -www >"$log" 2>&1 &
server=$!
until grep -q '^ACCEPT' "$log"; do
    kill -0 $server || exit 1
    sleep 0.1
done
OSP_TLS_PORT=$(sed -n 's/^ACCEPT .*://p' "$log") "$@"
status=$?
kill $server
rm -f "$log"
exit $status
