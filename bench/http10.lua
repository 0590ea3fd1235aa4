-- wrk script: HTTP/1.0 requests, one per connection. The method comes from
-- the first script argument (GET when none); the path from the URL.
local method = "GET"

function init(args)
  if args[1] then method = args[1] end
  req = method .. " " .. wrk.path .. " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"
end

function request()
  return req
end
