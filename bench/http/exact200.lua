-- wrk script shared by every workload. Only answers with status 200 count as done work: wrk
-- itself counts any 2xx or 3xx as a success. With a batch size as its argument the script
-- POSTs bodies of that many heart-rate samples to the URL's path, and adds up the "accepted"
-- counts the bridge sends back. done() prints one "BENCH key=value ..." line for compare.py.
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

-- Samples one second apart ending now, so the bridge stores them all (none is in the future).
local function ingestBody(batch)
  local now = os.time()
  local parts = {}
  for i = 1, batch do
    parts[i] = string.format(
      '{"type":"heart_rate","value":%d,"ts":%d.25,"unit":"count/min"}',
      58 + (i * 37) % 41, now - batch + i)
  end
  return '{"device":"BenchPhone","samples":[' .. table.concat(parts, ",") .. "]}"
end

function init(args)
  ok, other, accepted = 0, 0, 0
  local batch = tonumber(args[1])
  if batch then
    wrk.method = "POST"
    wrk.headers["Content-Type"] = "application/json"
    wrk.body = ingestBody(batch)
  end
end

function response(status, headers, body)
  if status == 200 then
    ok = ok + 1
    local n = body:match('"accepted":(%d+)')
    if n then
      accepted = accepted + tonumber(n)
    end
  else
    other = other + 1
  end
end

function done(summary, latency, requests)
  local sums = { ok = 0, other = 0, accepted = 0 }
  for _, thread in ipairs(threads) do
    for key in pairs(sums) do
      sums[key] = sums[key] + thread:get(key)
    end
  end
  local e = summary.errors
  io.write(string.format(
    "BENCH ok=%d other=%d accepted=%d requests=%d duration_us=%d connect=%d read=%d " ..
    "write=%d timeout=%d p50_us=%d p99_us=%d max_us=%d\n",
    sums.ok, sums.other, sums.accepted, summary.requests, summary.duration, e.connect, e.read,
    e.write, e.timeout, latency:percentile(50), latency:percentile(99), latency.max))
end
