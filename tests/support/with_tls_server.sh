#!/bin/sh
# Runs the command given with OSP_TLS_PORT naming a local HTTPS server that
# takes TLS 1.2 and later only (the committed test certificate) and answers
# /response.json with "{}"; the server ends with the command.
certs=$(cd "$(dirname "$0")" && pwd)
cd "$(mktemp -d)" || exit 1
printf 'HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}' >response.json
openssl s_server -accept 127.0.0.1:0 -cert "$certs/localhost.crt" -key "$certs/localhost.key" \
    -no_tls1 -no_tls1_1 -HTTP >log 2>&1 &
until grep -q ^ACCEPT log 2>/dev/null; do
    kill -0 $! || exit 1
    sleep 0.1
done
OSP_TLS_PORT=$(sed -n 's/^ACCEPT .*://p' log) "$@"
status=$?
kill $!
rm -r "$PWD"
exit $status
