#!/usr/bin/env bash
cat "$RESULTS"
