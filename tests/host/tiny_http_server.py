# A web server for the browser's tests, on a free local port that it prints
# first. /cookie/set sets a lasting cookie, /cookie/read shows the cookies it
# got in the page title, /download/NAME answers with an attachment NAME.
import http.server
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        headers = {"Content-Type": "text/html; charset=utf-8"}
        if self.path == "/cookie/set":
            headers["Set-Cookie"] = "visit=kept; Max-Age=86400; Path=/"
            body = "<title>cookie set</title>"
        elif self.path == "/cookie/read":
            body = "<title>cookie=%s</title>" % self.headers.get("Cookie", "")
        elif self.path.startswith("/download/"):
            name = self.path[len("/download/"):]
            headers = {"Content-Type": "application/octet-stream",
                       "Content-Disposition": 'attachment; filename="%s"' % name}
            body = "PELU download %s\n" % name
        else:
            self.send_error(404)
            return
        data = body.encode()
        self.send_response(200)
        for key, value in headers.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
