-- wrk script: each connection fetches a whole page load, in order and over and over, and checks
-- every answer while the load runs.
--
-- The load is described by a file, one request per line, tab-separated:
--   PATH <TAB> CHECK
-- where CHECK is "start:STRING" (the body begins with STRING), "text:STRING" (it holds STRING),
-- "bytes:N" (it is exactly N bytes: a compressed asset), or "png" (a PNG image). Answers are
-- told apart by these checks, so each kind of answer must pass only its own. Every request asks for gzip, as browsers do.
--
-- Usage: wrk -t16 -c16 -d5s -s page_load.lua URL -- LOAD-FILE
-- Prints: "loads L, requests R, bad B, first bad: WHY"

local steps = {}
local threads = {}

local function readLoad(file)
  local list = {}
  for line in io.lines(file) do
    local path, check = line:match("^([^\t]+)\t(.+)$")
    if path then list[#list + 1] = {path = path, check = check} end
  end
  return list
end

function setup(thread)
  threads[#threads + 1] = thread
end

function init(args)
  steps = readLoad(args[1])
  checks = {}  -- each distinct check, with how many steps of a load ask for it
  for _, step in ipairs(steps) do
    local c = checks[step.check]
    if not c then
      c = {check = step.check, per = 0, count = 0}
      checks[step.check] = c
      checks[#checks + 1] = c
    end
    c.per = c.per + 1
  end
  sent = 0
  counts, per = {}, {}  -- by check: answers that passed it, and how many a load needs
  for _, c in ipairs(checks) do
    counts[c.check] = 0
    per[c.check] = c.per
  end
  bad = 0
  firstBad = ""
end

function request()
  local step = steps[sent % #steps + 1]
  sent = sent + 1
  return wrk.format("GET", step.path, {["Accept-Encoding"] = "gzip"})
end

local function passes(check, body)
  local kind, value = check:match("^(%a+):?(.*)$")
  if kind == "text" then return body:find(value, 1, true) ~= nil end
  if kind == "start" then return body:sub(1, #value) == value end
  if kind == "bytes" then return #body == tonumber(value) end
  if kind == "png" then return body:sub(1, 4) == "\137PNG" end
  return false
end

-- Answers are told apart by what they hold, not by their order: wrk may ask for one request
-- more than it sends. Every answer must pass one of the load's checks.
function response(status, headers, body)
  if status == 200 then
    for _, c in ipairs(checks) do
      if passes(c.check, body) then
        c.count = c.count + 1
        counts[c.check] = c.count
        return
      end
    end
  end
  bad = bad + 1
  if firstBad == "" then firstBad = "status " .. status .. ", " .. #body .. " bytes" end
end

-- Whole loads over all connections: the answers of the scarcest kind, each load needing as many
-- as it asks for.
function done(summary, latency, requests)
  local total, need, totalBad, first = {}, {}, 0, ""
  for _, t in ipairs(threads) do
    for check, n in pairs(t:get("counts")) do total[check] = (total[check] or 0) + n end
    for check, n in pairs(t:get("per")) do need[check] = n end
    totalBad = totalBad + t:get("bad")
    if first == "" then first = t:get("firstBad") end
  end
  local loads = nil
  for check, n in pairs(need) do
    local whole = math.floor((total[check] or 0) / n)
    if loads == nil or whole < loads then loads = whole end
  end
  io.write(string.format("loads %d, requests %d, bad %d, first bad: %s\n",
    loads or 0, summary.requests, totalBad, first == "" and "none" or first))
end
