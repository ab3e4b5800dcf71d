-- wrk script of `./dev.sh bench-host`: POST requests, and one summary line
-- that the script reads: requests, requests per second, p50 and p99 latency
-- in microseconds, and the answers that were not 2xx.
wrk.method = "POST"

function done(summary, latency, requests)
  local seconds = summary.duration / 1e6
  io.write(string.format("KIV-LOAD %d %.0f %.0f %.0f %d\n", summary.requests, summary.requests / seconds,
                         latency:percentile(50), latency:percentile(99), summary.errors.status))
end
