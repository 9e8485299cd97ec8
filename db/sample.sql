-- Ambrix catalogue: small sample data for development and tests.
--
-- Load after db/schema.sql:
--   mariadb -uroot < db/schema.sql && mariadb -uroot < db/sample.sql
--
-- Re-runnable: every sample row has a fixed id and is written with REPLACE,
-- so loading the file again restores the sample rows (rows added by a running
-- server under other ids are left alone).
--
-- Users and tokens (a token is accepted as the user's password at login):
--   id 1 alice  mmNVNUXtOeyZ34rKLWoUnlxfSlY2cCrRNHq402S7WBwhIRvOk6dvfkedmEgG1ALk
--   id 2 bob    CrzqnOgHOfV8M1tFFbHDX9vy5qjp9rYkDFPOPN23hSHhaObydpxZGIqkJ2QDWuVF
--   id 3 carol  CHTn0rvHqSNYvQ0U7UPA4XgEO2eFsBOFTY1drXtGgr19vlqN9yposhcAatQw8ja2
--   id 4 dave   (no token)
--
-- Servers: 1 = this machine (127.0.0.1:4445), principal and profiles server,
-- token AsyX6I6kcXeZcN6MeWXgTVbCvqEwlC5SnyQPCcBat2EQi7T0BIVoqW1xgv7aynKB.
-- The other servers use documentation addresses (192.0.2.0/24) and do not
-- exist; they only give the catalogue something to list.
--
-- Expected answers for alice:
--   get_valid_applications        8,3,2,4,5,9,6,1,7
--   get_profiles_server           127.0.0.1:4445  (from her group "Engineering")
--   get_redirect_drives from 127.0.0.1
--       /srv/ambrix/shared=S:,/srv/ambrix/docs/alice=D:,
--       /srv/ambrix/groups/staff=G:,/srv/ambrix/groups/engineering=E:
--   get_applications?pdf          2:3
--   get_applications_by_group?-1  8:9:10

USE ambrix;

-- ---------------------------------------------------------------- servers ---

REPLACE INTO ax_os (id, name) VALUES
  (1, 'Linux'),
  (2, 'Windows');

REPLACE INTO ax_server
  (id, name, address, port, os_id, token, active,
   ambrix_server, console_server, domain_server, desktop_server,
   application_server, rdp_proxy_server, web_client_server,
   home_storage_server, storage_server, infrastructure_server, pxe_server)
VALUES
  (1, 'ambrix-main', '127.0.0.1', 4445, 2,
   'AsyX6I6kcXeZcN6MeWXgTVbCvqEwlC5SnyQPCcBat2EQi7T0BIVoqW1xgv7aynKB', 1,
   1, 1, 0, 0,  0, 0, 0,  1, 1, 0, 0),
  (2, 'apps-01', '192.0.2.11', 4445, 2,
   'il5tLOYk9kRjHfiFUnHwCQWQnD7vV0SRh5SOqHgcVxGutYdoS1QJT5UPIk6oXVZt', 1,
   0, 0, 0, 1,  1, 0, 0,  0, 0, 0, 0),
  (3, 'apps-02', '192.0.2.12', 4445, 2,
   'KSKGy4g0zQAZ6F5nQ1tsgDE4gex9N7KItZ8tpR6j0GDaWjJYiD35JPsGui307mRJ', 1,
   0, 0, 0, 0,  1, 1, 1,  0, 0, 0, 0),
  -- installed but never registered: no token yet, not active
  (4, 'linux-desk-01', '192.0.2.21', 4445, 1, NULL, 0,
   0, 0, 0, 1,  0, 0, 0,  0, 0, 0, 1);

REPLACE INTO ax_parameters (id, profile_server_id, profile_path) VALUES
  (1, 1, '/srv/ambrix/profiles');

-- ------------------------------------------------------ users and groups ---

REPLACE INTO ax_user (id, username, full_name, token) VALUES
  (1, 'alice', 'Alice Martin',
   'mmNVNUXtOeyZ34rKLWoUnlxfSlY2cCrRNHq402S7WBwhIRvOk6dvfkedmEgG1ALk'),
  (2, 'bob',   'Bob Navarro',
   'CrzqnOgHOfV8M1tFFbHDX9vy5qjp9rYkDFPOPN23hSHhaObydpxZGIqkJ2QDWuVF'),
  (3, 'carol', 'Carol Osei',
   'CHTn0rvHqSNYvQ0U7UPA4XgEO2eFsBOFTY1drXtGgr19vlqN9yposhcAatQw8ja2'),
  (4, 'dave',  'Dave Lindqvist', NULL);

-- Staff names no profiles server (its members fall back to ax_parameters);
-- Engineering names server 1.
REPLACE INTO ax_usergroup (id, name, logo, profile_server_id) VALUES
  (1, 'Staff',       'logos/staff.png',       NULL),
  (2, 'Engineering', 'logos/engineering.png', 1);

-- alice: Staff first (her logo), then Engineering; bob: Staff; carol:
-- Engineering; dave: no group.
REPLACE INTO ax_usergroup_users (id, usergroup_id, user_id) VALUES
  (1, 1, 'alice'),
  (2, 2, 'alice'),
  (3, 1, 'bob'),
  (4, 2, 'carol');

-- ----------------------------------------------------------- applications ---

REPLACE INTO ax_application
  (id, name, description, command, args, only_one, init_path, icon)
VALUES
  (1,  'Text Editor',     'Plain text editor',
       'C:\\Program Files\\TextEdit\\textedit.exe', '', 0,
       'C:\\Users\\Public\\Documents', 'icons/text-editor.png'),
  (2,  'Web Browser',     'Browse the web and the intranet',
       'C:\\Program Files\\Browser\\browser.exe', '--new-window', 0,
       'C:\\Program Files\\Browser', 'icons/web-browser.png'),
  (3,  'PDF Viewer',      'View and print PDF documents',
       'C:\\Program Files\\PDFView\\pdfview.exe', '', 0,
       'C:\\Users\\Public\\Documents', 'icons/pdf-viewer.png'),
  (4,  'Office Writer',   'Word processor',
       'C:\\Program Files\\Office\\writer.exe', '-nologo', 0,
       'C:\\Users\\Public\\Documents', 'icons/writer.png'),
  (5,  'Spreadsheet',     'Spreadsheet and charts',
       'C:\\Program Files\\Office\\calc.exe', '-nologo', 0,
       'C:\\Users\\Public\\Documents', 'icons/spreadsheet.png'),
  (6,  'Terminal',        'Command shell',
       '/usr/bin/x-terminal-emulator', '', 0,
       '/home', 'icons/terminal.png'),
  (7,  'Image Editor',    'Edit photos and drawings',
       'C:\\Program Files\\ImageEdit\\imageedit.exe', '', 0,
       'C:\\Users\\Public\\Pictures', 'icons/image-editor.png'),
  (8,  'Calculator',      'Desktop calculator',
       'C:\\Windows\\System32\\calc.exe', '', 1,
       'C:\\Windows\\System32', 'icons/calculator.png'),
  (9,  'Archive Manager', 'Open and create zip archives',
       'C:\\Program Files\\Archiver\\archiver.exe', '', 0,
       'C:\\Users\\Public\\Documents', 'icons/archive-manager.png'),
  (10, 'Billing',         'In-house billing client (one instance per user)',
       'C:\\Program Files\\Billing\\billing.exe', '/server:billing01', 1,
       'C:\\Program Files\\Billing', 'icons/billing.png');

-- Where each application is installed, most preferred server first
-- (Office Writer prefers apps-02).
REPLACE INTO ax_server_applications (id, application_id, server_id) VALUES
  (1,  1, 2), (2,  1, 3),
  (3,  2, 2), (4,  2, 3),
  (5,  3, 2),
  (6,  4, 3), (7,  4, 2),
  (8,  5, 3), (9,  5, 2),
  (10, 6, 4),
  (11, 7, 2),
  (12, 8, 2), (13, 8, 3),
  (14, 9, 2),
  (15, 10, 3);

-- Applications 8, 9 and 10 belong to no group.
REPLACE INTO ax_applicationgroup (id, name, icon) VALUES
  (1, 'Office',      'icons/group-office.png'),
  (2, 'Internet',    'icons/group-internet.png'),
  (3, 'Development', 'icons/group-development.png'),
  (4, 'Graphics',    'icons/group-graphics.png');

REPLACE INTO ax_applicationgroup_applications
  (id, applicationgroup_id, application_id)
VALUES
  (1, 1, 4), (2, 1, 5), (3, 1, 3),
  (4, 2, 2),
  (5, 3, 6), (6, 3, 1),
  (7, 4, 7);

-- ---------------------------------------------------------------- grants ---

-- Directly to users. alice gets PDF Viewer directly and again via Office.
REPLACE INTO ax_application_users (id, user_id, application_id) VALUES
  (1, 'alice', 8),
  (2, 'alice', 3),
  (3, 'bob',   1),
  (4, 'dave',  2);

-- To user groups: Staff gets the browser, Engineering the archive manager.
REPLACE INTO ax_application_usergroups (id, usergroup_id, application_id) VALUES
  (1, 1, 2),
  (2, 2, 9);

-- Application groups to user groups: Staff gets Office, Engineering gets
-- Development.
REPLACE INTO ax_usergroup_applicationgroups
  (id, usergroup_id, applicationgroup_id)
VALUES
  (1, 1, 1),
  (2, 2, 3);

-- Application groups to users: alice gets Graphics and Internet herself.
REPLACE INTO ax_user_applicationgroups (id, user_id, applicationgroup_id) VALUES
  (1, 'alice', 4),
  (2, 'alice', 2),
  (3, 'carol', 4);

-- ------------------------------------------------------------- file types ---

REPLACE INTO ax_extension (name, description) VALUES
  ('txt',  'Text file'),
  ('html', 'Web page'),
  ('htm',  'Web page'),
  ('pdf',  'PDF document'),
  ('odt',  'Text document'),
  ('ods',  'Spreadsheet'),
  ('png',  'PNG image'),
  ('jpg',  'JPEG image'),
  ('jpeg', 'JPEG image'),
  ('zip',  'Zip archive');

REPLACE INTO ax_mimetype (id, name) VALUES
  (1, 'text/plain'),
  (2, 'text/html'),
  (3, 'application/pdf'),
  (4, 'application/vnd.oasis.opendocument.text'),
  (5, 'application/vnd.oasis.opendocument.spreadsheet'),
  (6, 'image/png'),
  (7, 'image/jpeg'),
  (8, 'application/zip');

REPLACE INTO ax_mimetype_extensions (id, mimetype_id, extension_id) VALUES
  (1, 1, 'txt'),
  (2, 2, 'html'), (3, 2, 'htm'),
  (4, 3, 'pdf'),
  (5, 4, 'odt'),
  (6, 5, 'ods'),
  (7, 6, 'png'),
  (8, 7, 'jpg'),  (9, 7, 'jpeg'),
  (10, 8, 'zip');

REPLACE INTO ax_application_mime_types (id, application_id, mimetype_id) VALUES
  (1, 1, 1),             -- Text Editor: txt
  (2, 2, 2), (3, 2, 3),  -- Web Browser: html, htm, pdf
  (4, 3, 3),             -- PDF Viewer: pdf
  (5, 4, 4), (6, 4, 1),  -- Office Writer: odt, txt
  (7, 5, 5),             -- Spreadsheet: ods
  (8, 7, 6), (9, 7, 7),  -- Image Editor: png, jpg, jpeg
  (10, 9, 8);            -- Archive Manager: zip

-- ------------------------------------------------------ drive redirection ---

REPLACE INTO ax_storageredirection (id, server_id, server_path, client_path) VALUES
  (1, 1, '/srv/ambrix/shared', 'S:'),
  (2, 2, '/data/home',         'H:');

REPLACE INTO ax_userstorageredirection (id, user_id, server_path, client_path) VALUES
  (1, 'alice', '/srv/ambrix/docs/alice', 'D:'),
  (2, 'carol', '/srv/ambrix/docs/carol', 'D:');

REPLACE INTO ax_groupstorageredirection (id, group_id, server_path, client_path) VALUES
  (1, 1, '/srv/ambrix/groups/staff',       'G:'),
  (2, 2, '/srv/ambrix/groups/engineering', 'E:');

-- ------------------------------------------------------------ activity log ---

REPLACE INTO ax_log (id, server_id, user_id, app_id, text, time_stamp, type_id) VALUES
  (1, 2, 'alice', NULL,
   'User alice started session on server 192.0.2.11',
   '2024-03-04 08:02:11', 1),
  (2, 2, 'alice', 4,
   'User alice started application Office Writer on server 192.0.2.11 with process Id 4312',
   '2024-03-04 08:03:40', 3),
  (3, 2, 'alice', 4,
   'User alice ended application Office Writer on server 192.0.2.11 with process Id 4312',
   '2024-03-04 09:15:02', 4),
  (4, 2, 'alice', NULL,
   'User alice ended session on server 192.0.2.11',
   '2024-03-04 09:16:30', 2);
