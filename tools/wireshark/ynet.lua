-- ynet.lua: Wireshark/tshark dissector for YonderNetC's framed messages.
--
--   tshark -X lua_script:ynet.lua -d tcp.port==PORT,ynet -r capture.pcap
--   tshark -X lua_script:ynet.lua -o ynet.ports:PORT -o ynet.socks_ports:PROXYPORT ...
--
-- or copied into Wireshark's personal Lua plugin folder
-- (~/.local/lib/wireshark/plugins/).
--
-- A message is a 4-byte head and a body:
--
--  byte 0          byte 1          byte 2          byte 3
-- +---------------+-+-------------+-----------+-+-+---------------+
-- | size, low 8   |o| size, hi 7  |  main ID  |r|q| assistant ID  |
-- +---------------+-+-------------+-----------+-+-+---------------+
--   size: the whole message, head included (at most 1440), little-endian
--   o: ordinal flag   q: request flag (bit 0)   r: respond flag (bit 1)
--
-- A size of 4 or less is a head-only message (the receiving client reads no
-- body after it). A size above 1440 makes the library cut the connection:
-- the dissector marks it as an error and parses nothing after it in that
-- direction of the connection.
--
-- Every body byte but the first travels through a nibble substitution
-- whose permutation comes from (body length + first byte) mod 2^32; the
-- dissector undoes it exactly as the library's Decode does and shows the
-- body both as sent and unscrambled.
--
-- Through a SOCKS proxy: name the proxy's port in ynet.socks_ports (or
-- decode it as socks) and the server's port in ynet.ports (or decode it as
-- ynet). Wireshark's SOCKS dissector takes the handshake and hands what
-- follows to the dissector of the server port named in the CONNECT request,
-- whatever the request names: an IPv4 address, a host name for the proxy to
-- resolve (SOCKS5 address type 3, socks.remote_name; SOCKS4a,
-- socks.v4a_dns_name) or an IPv6 address (type 4, socks.dstV6).

local ynet = Proto("ynet", "YonderNetC message")

local HEAD_SIZE = 4
local MAX_SIZE = 1440

local f = {
    size = ProtoField.uint16("ynet.size", "Size", base.DEC, nil, 0x7FFF,
        "The whole message in bytes, head included"),
    ordinal = ProtoField.bool("ynet.ordinal", "Ordinal flag", 16, nil, 0x8000),
    main = ProtoField.uint8("ynet.main", "Main ID", base.DEC, nil, 0xFC),
    respond = ProtoField.bool("ynet.respond", "Respond flag", 8, nil, 0x02),
    request = ProtoField.bool("ynet.request", "Request flag", 8, nil, 0x01),
    assist = ProtoField.uint8("ynet.assist", "Assistant ID", base.DEC),
    head_only = ProtoField.bool("ynet.head_only", "Head-only message", base.NONE, nil, nil,
        "A size of 4 or less: no body follows the head"),
    end_mark = ProtoField.bool("ynet.end", "End-of-connection mark", base.NONE, nil, nil,
        "Main ID 0: a receiver testing IsEndConnect takes this head for the end of the connection"),
    sent = ProtoField.bytes("ynet.sent", "Body as sent (scrambled)"),
    body = ProtoField.bytes("ynet.body", "Body (unscrambled)"),
    text = ProtoField.string("ynet.text", "Text"),
    seed = ProtoField.uint32("ynet.seed", "Scrambler seed", base.DEC, nil, nil,
        "(body length + first body byte) mod 2^32"),
    permutation = ProtoField.string("ynet.permutation", "Nibble permutation"),
    skipped = ProtoField.bytes("ynet.not_parsed", "Not parsed"),
}
ynet.fields = { f.size, f.ordinal, f.main, f.respond, f.request, f.assist, f.head_only, f.end_mark, f.sent,
    f.body, f.text, f.seed, f.permutation, f.skipped }

local e = {
    oversized = ProtoExpert.new("ynet.oversized", "Head announces more than 1440 bytes",
        expert.group.MALFORMED, expert.severity.ERROR),
    short_size = ProtoExpert.new("ynet.short_size", "Size field below the head's 4 bytes",
        expert.group.PROTOCOL, expert.severity.WARN),
    after_cut = ProtoExpert.new("ynet.after_cut", "Bytes after an oversized head, not parsed",
        expert.group.SEQUENCE, expert.severity.WARN),
}
ynet.experts = { e.oversized, e.short_size, e.after_cut }

ynet.prefs.ports = Pref.range("Server ports", "",
    "TCP ports of servers that speak this format (directly or behind a SOCKS proxy)", 65535)
ynet.prefs.socks_ports = Pref.range("SOCKS proxy ports", "",
    "TCP ports of SOCKS proxies in front of such servers: handed to Wireshark's SOCKS dissector", 65535)

-- ------------------------------------------------------------- scrambler

local TWO32 = 4294967296

-- The 16-entry permutation of a seed: positions 1..15 each swap with
-- state % (pos + 1); a state at or above (pos + 1) * floor(0xFFFFFFFF /
-- (pos + 1)) is stepped again. (state + 0x31415926) * 0x53589 stays below
-- 2^53, so double arithmetic is exact.
local function permutation(seed)
    local p = {}
    for k = 0, 15 do p[k] = k end
    local state = seed % TWO32
    for pos = 1, 15 do
        local n = pos + 1
        local limit = n * math.floor(0xFFFFFFFF / n)
        repeat
            state = ((state + 0x31415926) % TWO32) * 0x53589 % TWO32
        until state < limit
        local j = state % n
        p[pos], p[j] = p[j], p[pos]
    end
    return p
end

-- Per seed: the permutation's text and the byte map of the unscrambling,
-- x -> (Q[x & 15] << 4) | Q[x >> 4] with Q the inverse permutation.
local unscramblers = {}

local function unscrambler(seed)
    local u = unscramblers[seed]
    if u then return u end
    local p = permutation(seed)
    local q, text = {}, {}
    for k = 0, 15 do
        q[p[k]] = k
        text[#text + 1] = tostring(p[k])
    end
    local map = {}
    for x = 0, 255 do
        map[string.char(x)] = string.char(q[x % 16] * 16 + q[math.floor(x / 16)])
    end
    u = { map = map, text = table.concat(text, " ") }
    unscramblers[seed] = u
    return u
end

-- The unscrambled body (a Lua string) and the seed of a body as sent.
local function unscramble(sent)
    local length = #sent
    if length < 2 then return sent, nil end
    local seed = (length + sent:byte(1)) % TWO32
    return sent:sub(1, 1) .. sent:sub(2):gsub(".", unscrambler(seed).map), seed
end

-- ------------------------------------------------------------- text forms

local function printable(s)
    return #s > 0 and not s:find("[^ -~]")
end

local function flags_text(request, respond, ordinal)
    local names = {}
    if request then names[#names + 1] = "request" end
    if respond then names[#names + 1] = "respond" end
    if ordinal then names[#names + 1] = "ordinal" end
    return #names > 0 and " " .. table.concat(names, " ") or ""
end

local SUMMARY_TEXT = 48

local function body_text(body)
    if printable(body) then
        if #body > SUMMARY_TEXT then return body:sub(1, SUMMARY_TEXT) .. "..." end
        return body
    end
    local hex = {}
    for i = 1, math.min(#body, 16) do hex[#hex + 1] = string.format("%02x", body:byte(i)) end
    return table.concat(hex, " ") .. (#body > 16 and " ..." or "")
end

-- ------------------------------------------------------------- state

-- Directions of connections cut by an oversized head: key -> frame number
-- of the head. Later frames of that direction are not parsed (the library
-- has closed the connection; their bytes have no message boundaries).
local cuts = {}
local tcp_stream = Field.new("tcp.stream")
local tcp_srcport = Field.new("tcp.srcport")

local function direction_key(pinfo)
    local stream, port = tcp_stream(), tcp_srcport()
    if not stream or not port then return nil end
    return tostring(stream.value) .. ":" .. tostring(pinfo.src) .. ":" .. tostring(port.value)
end

function ynet.init()
    cuts = {}
end

-- ------------------------------------------------------------- dissection

-- The info column lists every message of the frame, " | " between them.
-- The dissector may run several times in one frame (a reassembled message,
-- then the rest of the segment); pinfo.private lives for one dissection
-- of one frame.
local function add_summary(pinfo, text)
    if pinfo.private.ynet_summary then
        pinfo.cols.info:append(" | " .. text)
    else
        pinfo.cols.info:set(text)
        pinfo.private.ynet_summary = "1"
    end
end

-- One message whose bytes (total, at least the head) are all in tvb.
local function dissect_message(tvb, offset, total, pinfo, tree)
    local word = tvb(offset, 2):le_uint()
    local size = word % 0x8000
    local ordinal = word >= 0x8000
    local byte2 = tvb(offset + 2, 1):uint()
    local main = math.floor(byte2 / 4)
    local request = byte2 % 2 == 1
    local respond = math.floor(byte2 / 2) % 2 == 1
    local assist = tvb(offset + 3, 1):uint()

    local summary = string.format("main %d assist %d%s", main, assist, flags_text(request, respond, ordinal))
    if main == 0 then summary = summary .. " end-of-connection mark" end

    local item = tree:add(ynet, tvb(offset, math.min(total, tvb:len() - offset)))
    item:add_le(f.size, tvb(offset, 2))
    item:add_le(f.ordinal, tvb(offset, 2))
    item:add(f.main, tvb(offset + 2, 1))
    item:add(f.respond, tvb(offset + 2, 1))
    item:add(f.request, tvb(offset + 2, 1))
    item:add(f.assist, tvb(offset + 3, 1))
    if main == 0 then item:add(f.end_mark, tvb(offset + 2, 1), true):set_generated() end

    if size > MAX_SIZE then
        summary = summary .. string.format(", head announces %d bytes: connection cut", size)
        item:add_proto_expert_info(e.oversized, string.format(
            "Head announces %d bytes, more than the %d a message may have: the library cuts the connection here",
            size, MAX_SIZE))
    elseif size <= HEAD_SIZE then
        item:add(f.head_only, tvb(offset, 2), true):set_generated()
        summary = summary .. ", head only"
        if size < HEAD_SIZE then
            summary = summary .. string.format(" (size %d)", size)
            item:add_proto_expert_info(e.short_size, string.format(
                "Size %d: a TCP client reads it as a head-only message, a receive stream rejects it", size))
        end
    else
        local length = size - HEAD_SIZE
        local sent_range = tvb(offset + HEAD_SIZE, length)
        item:add(f.sent, sent_range)
        local body, seed = unscramble(sent_range:raw())
        local plain = ByteArray.new(body, true):tvb("Unscrambled body")
        item:add(f.body, plain())
        if printable(body) then item:add(f.text, plain()) end
        if seed then
            item:add(f.seed, sent_range, seed):set_generated()
            item:add(f.permutation, sent_range, unscrambler(seed).text):set_generated()
        end
        summary = summary .. string.format(", %d byte%s: %s", length, length == 1 and "" or "s", body_text(body))
    end
    item:append_text(": " .. summary)
    add_summary(pinfo, summary)
    return size
end

function ynet.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    if length == 0 then return 0 end
    pinfo.cols.protocol = "YNET"

    local key = direction_key(pinfo)
    local cut = key and cuts[key]
    if cut and pinfo.number > cut then
        local item = tree:add(ynet, tvb())
        item:append_text(": after an oversized head, not parsed")
        item:add(f.skipped, tvb())
        item:add_proto_expert_info(e.after_cut)
        add_summary(pinfo, string.format("%d bytes after an oversized head, not parsed", length))
        return length
    end

    local offset = 0
    while offset < length do
        local remaining = length - offset
        if remaining < HEAD_SIZE then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            return length
        end
        local size = tvb(offset, 2):le_uint() % 0x8000
        if size > MAX_SIZE then
            dissect_message(tvb, offset, HEAD_SIZE, pinfo, tree)
            if remaining > HEAD_SIZE then
                tree:add(ynet, tvb(offset + HEAD_SIZE)):append_text(": after an oversized head, not parsed")
                    :add(f.skipped, tvb(offset + HEAD_SIZE))
            end
            if key and (not cuts[key] or cuts[key] > pinfo.number) then cuts[key] = pinfo.number end
            return length
        end
        local total = math.max(size, HEAD_SIZE)
        if remaining < total then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = total - remaining
            return length
        end
        dissect_message(tvb, offset, total, pinfo, tree)
        offset = offset + total
    end
    return length
end

-- ------------------------------------------------------------- ports

local tcp_port = DissectorTable.get("tcp.port")
tcp_port:add_for_decode_as(ynet)

local socks = tcp_port:get_dissector(1080)
local registered = { ports = "", socks_ports = "" }

function ynet.prefs_changed()
    if registered.ports ~= "" then tcp_port:remove(registered.ports, ynet) end
    if registered.socks_ports ~= "" and socks then tcp_port:remove(registered.socks_ports, socks) end
    registered.ports = ynet.prefs.ports
    registered.socks_ports = ynet.prefs.socks_ports
    if registered.ports ~= "" then tcp_port:add(registered.ports, ynet) end
    if registered.socks_ports ~= "" and socks then tcp_port:add(registered.socks_ports, socks) end
end
