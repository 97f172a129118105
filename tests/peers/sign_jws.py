#!/usr/bin/python3
"""Signs for oauth_probe: reads a line of header fields (a JSON object) and
then the claims JSON on standard input, prints the compact JWS (RS256) of
exactly those claim bytes with the key of KEYFILE (PEM).

usage: sign_jws.py KEYFILE < input
"""
import json
import sys

import jwt

key = open(sys.argv[1]).read()
data = sys.stdin.buffer.read()
header_line, _, claims = data.partition(b"\n")
fields = json.loads(header_line)
print(jwt.api_jws.PyJWS().encode(claims, key, algorithm="RS256", headers=fields))
