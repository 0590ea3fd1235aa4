This document stands for the test CGI program: the "cgi" extension makes
the server run testcgi for it instead of sending this text.
