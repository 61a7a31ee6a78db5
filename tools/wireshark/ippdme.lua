-- I++ DME for Wireshark (the Lua API of Wireshark 4.0).
--
-- Dissects the line protocol between an I++ DME client and the server of a
-- coordinate measuring machine: TCP port 1294, and other ports when a stream
-- begins with a tagged command. Every line becomes an "I++ DME" item with
-- filterable fields (ippdme.*), replies are tied to their command, and the
-- wire rules one pass over one conversation can see are expert info whose
-- message begins with Torvane's rule identifier ("R-ORDER: ...").
--
-- The rules follow Torvane's checker (torvane-check) under its default
-- reading of the protocol. What needs a model of the server (data shapes,
-- sessions, error state, daemons' rates, AbortE) stays with torvane-check.
--
-- Install: copy into ~/.local/lib/wireshark/plugins/ (`make wireshark-plugin`),
-- or run `wireshark -X lua_script:ippdme.lua`.

local ippdme = Proto("ippdme", "I++ DME")

local PORT = 1294
-- A line without its end this long is shown cut, not reassembled further.
local MAX_LINE = 65536 + 2
-- Event tags E0000-E9999 are keyed above the command tags 1-99999.
local EVENT_BASE = 100000

-- ---------------------------------------------------------------- the error table

-- The predefined errors: number, default severity, text.
local error_table = {
    {0, 0, "Buffer full"},
    {1, 2, "Illegal tag"},
    {2, 2, "No space at pos. 6"},
    {3, 2, "Reserved"},
    {4, 2, "Reserved"},
    {5, 2, "Reserved"},
    {6, 2, "Transaction aborted (Use ClearAllErrors To Continue)"},
    {7, 3, "Illegal character"},
    {8, 3, "Protocol error"},
    {500, 3, "Emergency stop"},
    {501, 3, "Unsupported command"},
    {502, 3, "Incorrect arguments"},
    {503, 9, "Controller communications failure"},
    {504, 1, "Argument out of range"},
    {505, 3, "Argument not recognized"},
    {506, 3, "Argument not supported"},
    {507, 3, "Illegal command"},
    {508, 3, "Bad context"},
    {509, 3, "Bad argument"},
    {510, 3, "Bad property"},
    {511, 3, "Error processing method"},
    {512, 1, "No daemons are active"},
    {513, 2, "Daemon does not exist"},
    {514, 2, "Use ClearAllErrors to continue"},
    {515, 2, "Daemon already exists"},
    {1000, 3, "Machine in error state"},
    {1001, 2, "Illegal touch"},
    {1002, 9, "Axis does not exist"},
    {1003, 2, "No touch"},
    {1004, 9, "Number of angles not supported on current device"},
    {1005, 3, "Error during home"},
    {1006, 2, "Surface not found"},
    {1007, 3, "Theta out of range"},
    {1008, 3, "Target position out of machine volume"},
    {1009, 3, "Air pressure out of range"},
    {1010, 2, "Vector has no norm"},
    {1011, 2, "Unable to move"},
    {1012, 2, "Bad lock combinations"},
    {1500, 3, "Failed to re-seat head"},
    {1501, 3, "Probe not armed"},
    {1502, 3, "Tool not found"},
    {1503, 3, "Tool not defined"},
    {2000, 3, "Tool not calibrated"},
    {2001, 2, "Head error excessive force"},
    {2002, 3, "Type of probe does not allow this operation"},
    {2500, 3, "Machine limit encountered [Move Out Of Limits]"},
    {2501, 3, "Axis not active"},
    {2502, 3, "Axis position error"},
    {2503, 9, "Scale read head failure"},
    {2504, 3, "Collision"},
    {2505, 2, "Specified angle out of range"},
    {2506, 2, "Part not aligned"},
}
local errors_by_number = {}
for _, e in ipairs(error_table) do
    errors_by_number[e[1]] = e
end

local severity_meaning = {
    [0] = "information",
    [1] = "warning",
    [2] = "error the client can repair",
    [3] = "error that needs the user",
    [9] = "fatal error",
}
-- The lowest severity that aborts the pending commands.
local ABORTING_SEVERITY = 3

local function number_range(n)
    if n < 500 then return "protocol and syntax"
    elseif n < 1000 then return "DME"
    elseif n < 1500 then return "Cartesian CMM"
    elseif n < 2000 then return "tool changer"
    elseif n < 2500 then return "tool"
    elseif n < 3000 then return "axis"
    elseif n < 5000 then return "unassigned"
    elseif n < 8000 then return "reserved"
    elseif n < 9000 then return "server-defined"
    end
    return "client-defined"
end

-- What an error number means: the table's text, or the range it lies in.
local function error_meaning(n)
    local e = errors_by_number[n]
    if e then
        return e[3] .. " (" .. number_range(n) .. ", default severity " .. e[2] .. ")"
    end
    return "no predefined error (" .. number_range(n) .. " range)"
end

-- ---------------------------------------------------------------- fields

local F = {
    tag = ProtoField.string("ippdme.tag", "Tag"),
    -- "command", "event command", "&", "#", "!", "%" or "E0000 event".
    kind = ProtoField.string("ippdme.kind", "Kind"),
    method = ProtoField.string("ippdme.method", "Method"),
    args = ProtoField.string("ippdme.args", "Arguments"),
    data = ProtoField.string("ippdme.data", "Data"),
    err_severity = ProtoField.uint8("ippdme.error.severity", "Error severity", base.DEC, severity_meaning),
    err_number = ProtoField.uint16("ippdme.error.number", "Error number", base.DEC),
    err_method = ProtoField.string("ippdme.error.method", "Error method"),
    err_text = ProtoField.string("ippdme.error.text", "Error text"),
    err_meaning = ProtoField.string("ippdme.error.meaning", "Error meaning"),
    request_in = ProtoField.framenum("ippdme.request_in", "Command in", base.NONE, frametype.REQUEST),
    ack_in = ProtoField.framenum("ippdme.ack_in", "Acknowledge in", base.NONE, frametype.ACK),
    response_in = ProtoField.framenum("ippdme.response_in", "Completed in", base.NONE, frametype.RESPONSE),
    ack_time = ProtoField.double("ippdme.ack_time", "Time to '&' (ms)"),
    time = ProtoField.double("ippdme.time", "Time to '%' (ms)"),
}
ippdme.fields = {
    F.tag, F.kind, F.method, F.args, F.data, F.err_severity, F.err_number, F.err_method,
    F.err_text, F.err_meaning, F.request_in, F.ack_in, F.response_in, F.ack_time, F.time,
}

-- ---------------------------------------------------------------- expert info

local rule_ids = {
    "R-CHARSET", "R-CRLF", "R-TAG-FORMAT", "R-TAG-UNIQUE", "R-E0000", "R-REPLY-FORMAT",
    "R-ERROR-FORMAT", "R-ORDER", "R-ACK-FIRST", "R-UNKNOWN-TAG",
}
local rule_group = {
    ["R-CHARSET"] = expert.group.MALFORMED,
    ["R-CRLF"] = expert.group.MALFORMED,
    ["R-TAG-FORMAT"] = expert.group.MALFORMED,
    ["R-REPLY-FORMAT"] = expert.group.MALFORMED,
    ["R-ERROR-FORMAT"] = expert.group.MALFORMED,
}
local experts = {}
local expert_list = {}
for _, id in ipairs(rule_ids) do
    local abbr = "ippdme." .. id:sub(3):lower():gsub("-", "_")
    local group = rule_group[id] or expert.group.SEQUENCE
    local e = {
        error = ProtoExpert.new(abbr, id, group, expert.severity.ERROR),
        warning = ProtoExpert.new(abbr .. ".warning", id, group, expert.severity.WARN),
    }
    experts[id] = e
    expert_list[#expert_list + 1] = e.error
    expert_list[#expert_list + 1] = e.warning
end
ippdme.experts = expert_list

-- ---------------------------------------------------------------- text helpers

local function printable(s, limit)
    if limit and #s > limit then
        s = s:sub(1, limit) .. "..."
    end
    if s:find("[^\32-\126]") then
        s = s:gsub("[^\32-\126]", function(c) return string.format("\\x%02x", c:byte()) end)
    end
    return s
end

local function trim(s)
    return (s:gsub("^%s+", ""):gsub("%s+$", ""))
end

-- 00001-99999 as 1-99999, E0000-E9999 above EVENT_BASE; 0 when no tag.
local function tag_key(s)
    local a, b, c, d, e = s:byte(1, 5)
    if not e or b < 48 or b > 57 or c < 48 or c > 57 or d < 48 or d > 57 or e < 48 or e > 57 then
        return 0
    end
    local n = (b - 48) * 1000 + (c - 48) * 100 + (d - 48) * 10 + (e - 48)
    if a == 69 then return EVENT_BASE + n end -- 'E'
    if a < 48 or a > 57 then return 0 end
    return (a - 48) * 10000 + n
end

local function tag_text(key)
    if key >= EVENT_BASE then
        return string.format("E%04d", key - EVENT_BASE)
    end
    return string.format("%05d", key)
end

-- The argument text of "Name(args)": what lies between the first '(' and the last ')'.
local function args_of(text)
    local open = text:find("(", 1, true)
    local close = text:match(".*()%)")
    if not open or not close or close <= open then return nil end
    return text:sub(open + 1, close - 1), open
end

-- ---------------------------------------------------------------- per line

-- A finding on a line (or on what is parsed from it), kept in `holder.findings`
-- as { rule, "error" | "warning", text }; most lines have none, and no table.
local function add(holder, id, level, text)
    local f = holder.findings
    if not f then
        f = {}
        holder.findings = f
    end
    f[#f + 1] = {id, level, text}
end

-- R-CHARSET and R-CRLF on the bytes of a line; `ending` is "crlf", "lf",
-- "lfcr" or "cut". Returns whether every byte is printable.
local function check_bytes(p, s, ending)
    local bad = s:find("[^\32-\126]")
    if bad then
        local crlf_seen, charset_seen = false, false
        local i = bad
        while i do
            local c = s:byte(i)
            if c == 13 or c == 10 then
                if not crlf_seen then
                    crlf_seen = true
                    add(p, "R-CRLF", "error", string.format("%s inside the line at column %d",
                        c == 13 and "lone CR" or "bare LF", i))
                end
            elseif not charset_seen then
                charset_seen = true
                add(p, "R-CHARSET", "error", string.format("illegal character 0x%02x at column %d", c, i))
            end
            if crlf_seen and charset_seen then break end
            i = s:find("[^\32-\126]", i + 1)
        end
    end
    if ending == "lf" then
        add(p, "R-CRLF", "error", "line ends in a bare LF")
    elseif ending == "lfcr" then
        add(p, "R-CRLF", "error", "line ends in LF CR instead of CR LF")
    end
    return not bad
end

-- A client line: sets p.key, p.text and p.name, or leaves p.key unset
-- when the line carries no usable tag.
local function parse_command(p, s)
    if #s == 0 then
        add(p, "R-TAG-FORMAT", "error", "empty line")
        return
    end
    local key = tag_key(s)
    if key == 0 then
        add(p, "R-TAG-FORMAT", "error", s:sub(1, 5) == "00000" and "tag 00000 is not a valid command tag"
            or ("\"" .. printable(s:sub(1, 8)) .. "\" is not a tag (00001-99999 or E0001-E9999)"))
        return
    end
    if key == EVENT_BASE then
        add(p, "R-TAG-FORMAT", "error", "E0000 is reserved for the server")
        return
    end
    if s:byte(6) ~= 32 then
        add(p, "R-TAG-FORMAT", "error",
            #s > 5 and "no blank after the tag in column 6" or "tag without a command")
        return
    end
    local text = s:sub(7)
    p.key = key
    p.text = text
    p.name = text:match("^[^( ]*")
end

-- A server line: sets p.key, p.type and p.body, or leaves p.key unset
-- when the line cannot be followed.
local function parse_reply(p, s)
    local n = #s
    local key = n >= 5 and tag_key(s) or 0
    if n < 7 then
        if n == 0 then
            add(p, "R-REPLY-FORMAT", "error", "empty line")
        elseif key ~= 0 then
            add(p, "R-REPLY-FORMAT", "error", "reply without a type")
        else
            add(p, "R-TAG-FORMAT", "error", "\"" .. printable(s) .. "\" is not a tagged reply")
        end
        return
    end
    if key == 0 then
        add(p, "R-TAG-FORMAT", "error", s:sub(1, 5) == "00000" and "tag 00000 in a reply"
            or ("\"" .. printable(s:sub(1, 8)) .. "\" is not a tag"))
        return
    end
    if s:byte(6) ~= 32 then
        add(p, "R-TAG-FORMAT", "error", "no blank after the tag in column 6")
        return
    end
    local c = s:sub(7, 7)
    if c ~= "&" and c ~= "#" and c ~= "!" and c ~= "%" then
        add(p, "R-REPLY-FORMAT", "error", "'" .. printable(c) .. "' is no reply type (& # ! %)")
        return
    end
    local body = ""
    if n > 7 then
        if s:byte(8) ~= 32 then
            add(p, "R-REPLY-FORMAT", "error", "no blank after '" .. c .. "'")
            body = s:sub(8)
        else
            body = s:sub(9)
        end
        if c == "&" or c == "%" then
            add(p, "R-REPLY-FORMAT", "error", "'" .. c .. "' line carries more: \"" .. printable(s:sub(8), 60) .. "\"")
        end
    end
    if (c == "#" or c == "!") and not body:find("%S") then
        add(p, "R-REPLY-FORMAT", "error", "'" .. c .. "' line without content")
    end
    p.key = key
    p.type = c
    p.body = body
end

-- "Error(F1, F2, F3, \"Text\")": the four fields, or nil and what is wrong.
local function split_error(body)
    local b = trim(body)
    if b:sub(1, 6) ~= "Error(" or b:sub(-1) ~= ")" then
        return nil, "error line not of the form Error(F1, F2, F3, \"Text\")"
    end
    local inner = b:sub(7, -2)
    local c1 = inner:find(",", 1, true)
    local c2 = c1 and inner:find(",", c1 + 1, true)
    local ti = trim(inner)
    local open_quote, close_quote
    if #ti >= 2 and ti:sub(-1) == '"' then
        close_quote = inner:match('.*()"')
        open_quote = inner:sub(1, close_quote - 1):match('.*()"')
    end
    if not c2 or not open_quote or open_quote <= c2 then
        return nil, "error line without the four fields F1, F2, F3 and \"Text\""
    end
    local f3 = trim(inner:sub(c2 + 1, open_quote - 1))
    if f3:sub(-1) ~= "," then
        return nil, "no comma before the error text"
    end
    return {
        f1 = trim(inner:sub(1, c1 - 1)),
        f2 = trim(inner:sub(c1 + 1, c2 - 1)),
        f3 = trim(f3:sub(1, -2)),
        text = inner:sub(open_quote + 1, close_quote - 1),
    }
end

-- The error fields of a '!' body: { severity, number, method, text, findings }
-- with -1 for what is invalid; `findings` are about its form.
local function parse_error(body)
    local e, why = split_error(body)
    if not e then
        return {severity = -1, number = -1, findings = {{"R-ERROR-FORMAT", "error", why}}}
    end
    local sev = -1
    if e.f1:match("^%d$") and severity_meaning[tonumber(e.f1)] then
        sev = tonumber(e.f1)
    else
        add(e, "R-ERROR-FORMAT", "error", "\"" .. printable(e.f1) .. "\" is no valid severity")
    end
    local number = -1
    if e.f2:match("^%d%d%d%d$") then
        number = tonumber(e.f2)
    else
        add(e, "R-ERROR-FORMAT", "error", "\"" .. printable(e.f2) .. "\" is no four-digit error number")
    end
    e.severity = sev
    e.number = number
    e.method = e.f3
    e.valid = true
    return e
end

-- ---------------------------------------------------------------- conversations

-- The state of each conversation, built in the first pass only. What each
-- line found and links to is kept by frame for the passes that follow: the
-- record of the frame's first line, which leads to the frame's next line.
local conversations = {}
local records = {}
-- A line's record is a small array: where the line lies in the data of its
-- call, its findings, the transaction it opens or belongs to, its time to
-- '&' or '%', its text in the Info column, and the frame's next line.
local R_POS, R_TOTAL, R_FINDINGS, R_TXN, R_MS, R_INFO, R_MORE = 1, 2, 3, 4, 5, 6, 7
-- The frame and relative time of the line being read in the first pass.
local cur_frame, cur_ts = 0, 0
local pending_lf = {} -- conversation and direction -> the record whose bare LF ended a segment
local skip_cr = {} -- frame number -> true when its first byte ended the line before

local f_stream = Field.new("tcp.stream")

function ippdme.init()
    conversations = {}
    records = {}
    pending_lf = {}
    skip_cr = {}
end

local function new_conversation()
    return {
        open = {}, -- key -> transaction
        last = {}, -- key -> the last transaction under that key, open or not
        mark = {}, -- key -> "completed" | "quiet" | "aborted"
        daemon = {}, -- key -> "running" | "stopped" | "ended"
        seq = 0,
        awaiting = false, await_key = 0, await_seq = 0, await_percent = false,
        reject_pending = false,
        any_command = false,
    }
end

-- A finding of the line whose record is `rec`.
local function add_rec(rec, id, level, text)
    local f = rec[R_FINDINGS]
    if not f then
        f = {}
        rec[R_FINDINGS] = f
    end
    f[#f + 1] = {id, level, text}
end

-- Seconds as milliseconds, to the microsecond.
local function millis(seconds)
    return math.floor(seconds * 1e6 + 0.5) / 1000
end

-- A client line, in the first pass.
local function on_client_line(conv, rec, p)
    -- The command before must have had its '&' (StartSession: its '%').
    if conv.awaiting then
        local o = conv.open[conv.await_key]
        if o and o.seq == conv.await_seq and (conv.await_percent or o.state == "sent") then
            add_rec(rec, "R-ACK-FIRST", "error", string.format("command sent before the %s of %s (frame %d)",
                conv.await_percent and "'%'" or "'&'", tag_text(conv.await_key), o.cmd_frame))
        end
        conv.awaiting = false
    end
    local key = p.key
    if not key then
        -- A server answers a line it cannot tag with an E0000 "Illegal tag";
        -- a command sent before that answer is no fault of its own.
        conv.reject_pending = true
        return
    end
    conv.any_command = true
    local event_tag = key > EVENT_BASE
    local old = conv.open[key]
    if old then
        add_rec(rec, "R-TAG-UNIQUE", "error", string.format("tag still in use by the command in frame %d", old.cmd_frame))
        conv.open[key] = nil
    elseif event_tag and conv.daemon[key] == "running" then
        add_rec(rec, "R-TAG-UNIQUE", "error", "tag of a daemon still running")
    end
    if event_tag then conv.daemon[key] = nil end
    conv.mark[key] = nil

    local seq = conv.seq + 1
    conv.seq = seq
    local name = p.name
    local txn = {
        seq = seq, name = name, state = "sent", cmd_frame = cur_frame, cmd_ts = cur_ts,
        errors = 0, ack_frame = false, done_frame = false,
    }
    if name == "StopDaemon" then
        local d = tag_key(trim(args_of(p.text) or ""))
        if d > EVENT_BASE then txn.stops = d end
    end
    conv.open[key] = txn
    conv.last[key] = txn
    rec[R_TXN] = txn
    conv.awaiting = true
    conv.await_key = key
    conv.await_seq = seq
    conv.await_percent = name == "StartSession"
end

-- An error line: "Illegal tag" (or "No space at pos. 6") closes an untaggable
-- line; a grave error aborts the pending commands but its own. Its form is
-- checked here, not for a stray error line, which is only the unknown tag's.
local function on_error(conv, rec, txn, key, err)
    if err.findings then
        for _, f in ipairs(err.findings) do
            add_rec(rec, f[1], f[2], f[3])
        end
    end
    if txn then txn.errors = txn.errors + 1 end
    if not err.valid then return end
    local text = err.text:lower()
    if not txn and (err.number == 1 or err.number == 2 or text == "illegal tag" or text == "no space at pos. 6") then
        if conv.reject_pending then
            conv.reject_pending = false
        elseif conv.awaiting then
            local o = conv.open[conv.await_key]
            if o and o.seq == conv.await_seq and o.state == "sent" then
                conv.mark[conv.await_key] = "quiet"
                conv.open[conv.await_key] = nil
            end
            conv.awaiting = false
        end
    end
    if err.severity >= ABORTING_SEVERITY then
        local except = txn and key or 0
        for key, _ in pairs(conv.open) do
            if key < EVENT_BASE and key ~= except then
                conv.mark[key] = "quiet"
                conv.open[key] = nil
            end
        end
    end
end

local function complete(conv, txn, key)
    local ok = txn.errors == 0
    local name = txn.name
    if name == "EndSession" and ok then
        for k, d in pairs(conv.daemon) do
            if d == "running" then conv.daemon[k] = "ended" end
        end
    elseif name == "StopDaemon" then
        if txn.stops and conv.daemon[txn.stops] == "running" then conv.daemon[txn.stops] = "stopped" end
    elseif name == "StopAllDaemons" then
        for k, d in pairs(conv.daemon) do
            if d == "running" then conv.daemon[k] = "stopped" end
        end
    elseif name == "OnMoveReportE" and ok and key > EVENT_BASE then
        conv.daemon[key] = "running"
    end
    conv.mark[key] = "completed"
    if conv.awaiting and conv.await_key == key and conv.await_seq == txn.seq then
        conv.awaiting = false
    end
    conv.open[key] = nil
    if name == "AbortE" then
        -- Whatever command is still open is closed by AbortE's '%'.
        for k, _ in pairs(conv.open) do
            if k < EVENT_BASE then
                conv.mark[k] = "aborted"
                conv.open[k] = nil
            end
        end
    end
end

-- A reply for a tag with no open transaction.
local function on_orphan(conv, rec, p)
    local key = p.key
    local d = key > EVENT_BASE and conv.daemon[key] or nil
    if d == "running" and p.type == "#" then return end
    if d == "stopped" or d == "ended" then return end
    local mark = conv.mark[key]
    if mark == "completed" then
        local last = conv.last[key]
        add_rec(rec, "R-ORDER", "error", string.format("'%s' line after the transaction completed%s", p.type,
            last and last.done_frame and string.format(" (frame %d)", last.done_frame) or ""))
    elseif mark == "quiet" then
        if p.type == "%" then conv.mark[key] = "completed" end
    elseif mark ~= "aborted" then
        add_rec(rec, "R-UNKNOWN-TAG", "error",
            conv.any_command and "reply for a tag not sent on this connection" or "reply before any command")
    end
end

-- A server line, in the first pass.
local function on_server_line(conv, rec, p)
    local key = p.key
    if not key then return end
    local t = p.type
    if key == EVENT_BASE then
        if t == "&" or t == "%" then
            add_rec(rec, "R-E0000", "error", t == "&" and "E0000 never acknowledges" or "E0000 never completes")
        elseif t == "!" then
            on_error(conv, rec, nil, key, p.err)
        end
        return
    end
    local txn = conv.open[key]
    if not txn then
        rec[R_TXN] = conv.last[key] or false
        on_orphan(conv, rec, p)
        return
    end
    rec[R_TXN] = txn
    if t == "&" then
        if txn.state ~= "sent" then
            add_rec(rec, "R-ORDER", "error", "second '&'")
        else
            txn.state = "acked"
            txn.ack_frame = cur_frame
            rec[R_MS] = millis(cur_ts - txn.cmd_ts)
        end
        return
    end
    if txn.state == "sent" then
        if not txn.order_reported then
            txn.order_reported = true
            add_rec(rec, "R-ORDER", "error", "'" .. t .. "' line before the '&'")
        end
        txn.state = "acked"
    end
    if t == "!" then
        on_error(conv, rec, txn, key, p.err)
    elseif t == "%" then
        txn.done_frame = cur_frame
        rec[R_MS] = millis(cur_ts - txn.cmd_ts)
        complete(conv, txn, key)
    end
end

-- ---------------------------------------------------------------- the dissector

local function looks_like_command(s)
    return s:find("^%d%d%d%d%d [%a][%w_.]*%(") ~= nil or s:find("^E%d%d%d%d [%a][%w_.]*%(") ~= nil
end

-- Which side of a new conversation is the server: the side on port 1294,
-- else the side that did not send the first tagged command.
local function new_conversation_at(pinfo, s)
    local conv = new_conversation()
    local src, dst = pinfo.src_port, pinfo.dst_port
    conv.same_ports = src == dst
    if dst == PORT and src ~= PORT then
        conv.server_port, conv.server_addr = dst, tostring(pinfo.dst)
    elseif src == PORT and dst ~= PORT then
        conv.server_port, conv.server_addr = src, tostring(pinfo.src)
    elseif looks_like_command(s) then
        conv.server_port, conv.server_addr = dst, tostring(pinfo.dst)
    else
        conv.server_port, conv.server_addr = src, tostring(pinfo.src)
    end
    return conv
end

local function from_client(conv, pinfo)
    if conv.same_ports then
        return tostring(pinfo.src) ~= conv.server_addr
    end
    return pinfo.src_port ~= conv.server_port
end

-- The stateless part of a line: what it is and what is wrong with it alone.
-- The parse of the line at hand, made afresh for each line in one table.
local p = {clean = true, findings = false, key = false, type = false, body = false, text = false, name = false,
           err = false}

local function parse_line(s, client, ending)
    p.findings, p.key, p.type, p.body, p.text, p.name, p.err = false, false, false, false, false, false, false
    p.clean = check_bytes(p, s, ending)
    if client then
        parse_command(p, s)
    else
        parse_reply(p, s)
        if p.type == "!" then
            p.err = parse_error(p.body)
        end
    end
    return p
end

local function kind_of(p, client)
    if client then
        return p.key > EVENT_BASE and "event command" or "command"
    end
    if p.key == EVENT_BASE then return "E0000 event" end
    return p.type
end

-- One line into the tree.
local function show_line(tree, range, s, p, rec, client)
    local label = p.clean and #s <= 200 and s or printable(s, 200)
    local item = tree:add(ippdme, range, "I++ DME: " .. label)
    if not p.key then
        if #s >= 5 then item:add(F.tag, range(0, 5)) end
    else
        item:add(F.tag, range(0, 5))
        item:add(F.kind, range, kind_of(p, client))
        if client then
            local name = p.name
            item:add(F.method, #name > 0 and range(6, #name) or range, name)
            local args, open = args_of(p.text)
            if args then
                item:add(F.args, #args > 0 and range(6 + open, #args) or range, args)
            end
            local txn = rec[R_TXN]
            if txn then
                if txn.ack_frame then item:add(F.ack_in, range, txn.ack_frame):set_generated() end
                if txn.done_frame then item:add(F.response_in, range, txn.done_frame):set_generated() end
            end
        else
            local t = p.type
            if t == "#" then
                item:add(F.data, range, p.body)
            elseif t == "!" then
                local e = p.err
                if e.valid then
                    if e.severity >= 0 then item:add(F.err_severity, range, e.severity) end
                    if e.number >= 0 then
                        item:add(F.err_number, range, e.number)
                        item:add(F.err_meaning, range, error_meaning(e.number)):set_generated()
                    end
                    item:add(F.err_method, range, e.method)
                    item:add(F.err_text, range, e.text)
                end
            end
            local txn = rec[R_TXN]
            if txn then
                item:add(F.request_in, range, txn.cmd_frame):set_generated()
                local ms = rec[R_MS]
                if ms then
                    item:add(t == "&" and F.ack_time or F.time, range, ms):set_generated()
                end
            end
        end
    end
    local findings = rec[R_FINDINGS]
    if findings then
        for _, f in ipairs(findings) do
            item:add_proto_expert_info(experts[f[1]][f[2]], f[1] .. ": " .. f[3])
        end
    end
end

local function info_text(s, p, rec)
    local ms = rec[R_MS]
    if ms and p.type == "%" then
        return string.format("%s %% (%.1f ms)", s:sub(1, 5), ms)
    end
    return p.clean and #s <= 120 and s or printable(s, 120)
end

local function dissect(tvb, pinfo, tree)
    local total = tvb:len()
    if total == 0 then return 0 end
    local s = tvb:raw()
    local stream = f_stream()
    local conv_id = stream and stream.value or -1
    local conv = conversations[conv_id]
    if not conv then
        conv = new_conversation_at(pinfo, s)
        conversations[conv_id] = conv
    end
    local client = from_client(conv, pinfo)
    local visited = pinfo.visited
    local frame = pinfo.number
    local dir_key = conv_id * 2 + (client and 1 or 0)

    local pos = 1
    -- A CR that begins a segment ends the line before it, whose LF ended the
    -- segment before: that line ended in LF CR.
    if not visited then
        local before = pending_lf[dir_key]
        pending_lf[dir_key] = nil
        if before and s:byte(1) == 13 then
            for _, f in ipairs(before[R_FINDINGS]) do
                if f[1] == "R-CRLF" and f[3] == "line ends in a bare LF" then
                    f[3] = "line ends in LF CR instead of CR LF"
                end
            end
            skip_cr[frame] = true
        end
    end
    if skip_cr[frame] then pos = 2 end

    local cur_ts_of_call
    local shown = false
    while pos <= total do
        local lf = s:find("\n", pos, true)
        local line_end, next_pos, ending
        if not lf then
            if total - pos + 1 < MAX_LINE then
                pinfo.desegment_offset = pos - 1
                pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
                break
            end
            line_end, next_pos, ending = total, total + 1, "cut"
        elseif lf > pos and s:byte(lf - 1) == 13 then
            line_end, next_pos, ending = lf - 2, lf + 1, "crlf"
        elseif s:byte(lf + 1) == 13 then
            line_end, next_pos, ending = lf - 1, lf + 2, "lfcr"
        else
            line_end, next_pos, ending = lf - 1, lf + 1, "lf"
        end
        local line = s:sub(pos, line_end)
        local p = parse_line(line, client, ending)
        -- The line's record, by its place in this call's data.
        local rec, last = records[frame], nil
        while rec and not (rec[R_POS] == pos and rec[R_TOTAL] == total) do
            last = rec
            rec = rec[R_MORE]
        end
        if not rec then
            rec = {pos, total, p.findings, false, false, false, false}
            if not visited then
                if last then last[R_MORE] = rec else records[frame] = rec end
                cur_frame = frame
                cur_ts = cur_ts_of_call or pinfo.rel_ts
                cur_ts_of_call = cur_ts
                if client then
                    on_client_line(conv, rec, p)
                else
                    on_server_line(conv, rec, p)
                end
                if ending == "lf" and next_pos > total then
                    pending_lf[dir_key] = rec
                end
            end
        end
        rec[R_INFO] = info_text(line, p, rec)
        shown = true
        show_line(tree, tvb(pos - 1, next_pos - pos), line, p, rec, client)
        pos = next_pos
    end
    -- The Info column lists every line of the frame, across the calls for it.
    if shown then
        local cols = pinfo.cols
        cols.protocol = "I++ DME"
        local first = records[frame]
        if first and first[R_MORE] then
            local parts = {}
            local r = first
            while r do
                if r[R_INFO] then parts[#parts + 1] = r[R_INFO] end
                r = r[R_MORE]
            end
            cols.info = table.concat(parts, "; ")
        elseif first then
            cols.info = first[R_INFO] or ""
        end
    end
    return total
end

function ippdme.dissector(tvb, pinfo, tree)
    return dissect(tvb, pinfo, tree)
end

-- Other ports: a stream that begins with a tagged command. Its conversation
-- then stays with this dissector, in both directions.
local function heuristic(tvb, pinfo, tree)
    local n = tvb:len()
    if n < 8 then return false end
    if not looks_like_command(tvb:raw(0, math.min(n, 64))) then return false end
    local stream = f_stream()
    if stream and not conversations[stream.value] then
        local conv = new_conversation()
        conv.same_ports = pinfo.src_port == pinfo.dst_port
        conv.server_port, conv.server_addr = pinfo.dst_port, tostring(pinfo.dst)
        conversations[stream.value] = conv
    end
    pinfo.conversation = ippdme
    dissect(tvb, pinfo, tree)
    return true
end

DissectorTable.get("tcp.port"):add(PORT, ippdme)
ippdme:register_heuristic("tcp", heuristic)
