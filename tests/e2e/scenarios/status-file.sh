# The sample host, with two temporaries beside the metrics file: one an hour
# and more old, left by a run killed halfway, and one just made.
. "${SCENARIO%/*}/sample.sh"
touch -d '2 hours ago' "$OUTDIR/state/quelvar.prom.Old123"
: > "$OUTDIR/state/quelvar.prom.New123"
