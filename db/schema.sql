-- Ambrix catalogue database: development schema.
--
-- Re-runnable on an empty server (and on one that already has it):
--   mariadb -uroot < db/schema.sql
--
-- Ambrix Server only reads these tables and writes rows; it never creates or
-- alters them. This file is what developers and CI load into a local MariaDB.
--
-- Conventions:
--  * Every "user_id" column of the link and log tables holds the user's login
--    name (text), not the numeric ax_user.id.
--  * Link tables carry their own auto-increment "id". Rows for one key come
--    back in the order they were inserted, and that order is meaningful: the
--    first server of an application is its preferred server, the first group
--    of a user supplies the user's logo, and so on.
--  * No foreign keys: the server writes rows (events, server records) whose
--    references may not resolve, and those rows must still go in.

CREATE DATABASE IF NOT EXISTS ambrix
  CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci;
USE ambrix;

-- ---------------------------------------------------------------------------
-- Users and user groups
-- ---------------------------------------------------------------------------

-- Platform users. "id" is the number printed on the user's card
-- (get_user_from_card maps it back to the login name).
CREATE TABLE IF NOT EXISTS ax_user (
  id        INT UNSIGNED NOT NULL AUTO_INCREMENT,
  username  VARCHAR(255) NOT NULL,                 -- login name, without domain part
  full_name VARCHAR(255) NULL,
  -- 64 characters of [A-Za-z0-9]; accepted as the user's password. NULL = none.
  token     VARCHAR(64) CHARACTER SET ascii COLLATE ascii_bin NULL,
  PRIMARY KEY (id),
  UNIQUE KEY uq_user_username (username)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_usergroup (
  id                INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name              VARCHAR(255) NOT NULL,
  logo              VARCHAR(1024) NULL,  -- media path below the console's media URL
  -- ax_server.id of the profiles server of the group's members;
  -- NULL (or -1) = none, fall back to ax_parameters.profile_server_id
  profile_server_id INT NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Group membership. A user's first group (lowest id) gives the user's logo.
CREATE TABLE IF NOT EXISTS ax_usergroup_users (
  id           INT UNSIGNED NOT NULL AUTO_INCREMENT,
  usergroup_id INT UNSIGNED NOT NULL,  -- ax_usergroup.id
  user_id      VARCHAR(255) NOT NULL,  -- login name
  PRIMARY KEY (id),
  KEY ix_usergroup_users_user (user_id),
  KEY ix_usergroup_users_group (usergroup_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- ---------------------------------------------------------------------------
-- Servers
-- ---------------------------------------------------------------------------

-- Operating systems that servers run ("get_server_type" answers the name).
-- Id 2 is the one a registering server reports for itself.
CREATE TABLE IF NOT EXISTS ax_os (
  id   INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Servers of the platform. A row may be created with only "address" set (the
-- first event reported from an unknown address), so every other column has
-- a default. Role flags are 0/1.
CREATE TABLE IF NOT EXISTS ax_server (
  id                    INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name                  VARCHAR(255) NULL,
  address               VARCHAR(255) NOT NULL,  -- dotted IPv4 address (or host name)
  port                  INT NULL,               -- TCP port of Ambrix Server on it
  os_id                 INT UNSIGNED NULL,      -- ax_os.id
  -- the server's own 64-character token; NULL/empty until it registers
  token                 VARCHAR(64) CHARACTER SET ascii COLLATE ascii_bin NULL,
  active                TINYINT(1) NOT NULL DEFAULT 0,
  ambrix_server         TINYINT(1) NOT NULL DEFAULT 0,  -- principal server
  console_server        TINYINT(1) NOT NULL DEFAULT 0,
  domain_server         TINYINT(1) NOT NULL DEFAULT 0,
  desktop_server        TINYINT(1) NOT NULL DEFAULT 0,
  application_server    TINYINT(1) NOT NULL DEFAULT 0,
  rdp_proxy_server      TINYINT(1) NOT NULL DEFAULT 0,
  web_client_server     TINYINT(1) NOT NULL DEFAULT 0,
  home_storage_server   TINYINT(1) NOT NULL DEFAULT 0,
  storage_server        TINYINT(1) NOT NULL DEFAULT 0,
  infrastructure_server TINYINT(1) NOT NULL DEFAULT 0,  -- virtualization host
  pxe_server            TINYINT(1) NOT NULL DEFAULT 0,
  PRIMARY KEY (id),
  KEY ix_server_address (address, port)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Platform-wide settings: normally one row. When several rows exist the first
-- usable value of each column counts.
CREATE TABLE IF NOT EXISTS ax_parameters (
  id                INT UNSIGNED NOT NULL AUTO_INCREMENT,
  -- ax_server.id of the default profiles server (for users whose groups name
  -- none); NULL or -1 = none
  profile_server_id INT NULL,
  profile_path      VARCHAR(1024) NULL,  -- where user profiles live
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- ---------------------------------------------------------------------------
-- Application catalogue
-- ---------------------------------------------------------------------------

CREATE TABLE IF NOT EXISTS ax_application (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name        VARCHAR(255) NOT NULL,       -- display name
  description TEXT NULL,
  command     VARCHAR(1024) NULL,          -- executable
  args        VARCHAR(1024) NULL,          -- argument text
  only_one    TINYINT(1) NOT NULL DEFAULT 0,  -- 1 = at most one instance per user
  init_path   VARCHAR(1024) NULL,          -- working directory
  icon        VARCHAR(1024) NULL,          -- media path below the console's media URL
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Servers an application is installed on, in order of preference.
CREATE TABLE IF NOT EXISTS ax_server_applications (
  id             INT UNSIGNED NOT NULL AUTO_INCREMENT,
  application_id INT UNSIGNED NOT NULL,  -- ax_application.id
  server_id      INT UNSIGNED NOT NULL,  -- ax_server.id
  PRIMARY KEY (id),
  KEY ix_server_applications_app (application_id),
  KEY ix_server_applications_server (server_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_applicationgroup (
  id   INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,
  icon VARCHAR(1024) NULL,  -- media path below the console's media URL
  PRIMARY KEY (id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_applicationgroup_applications (
  id                  INT UNSIGNED NOT NULL AUTO_INCREMENT,
  applicationgroup_id INT UNSIGNED NOT NULL,  -- ax_applicationgroup.id
  application_id      INT UNSIGNED NOT NULL,  -- ax_application.id
  PRIMARY KEY (id),
  KEY ix_appgroup_apps_group (applicationgroup_id),
  KEY ix_appgroup_apps_app (application_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- Who may use what: grants of applications and application groups to users
-- (by login name) and to user groups.
CREATE TABLE IF NOT EXISTS ax_application_users (
  id             INT UNSIGNED NOT NULL AUTO_INCREMENT,
  user_id        VARCHAR(255) NOT NULL,  -- login name
  application_id INT UNSIGNED NOT NULL,  -- ax_application.id
  PRIMARY KEY (id),
  KEY ix_application_users_user (user_id),
  KEY ix_application_users_app (application_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_application_usergroups (
  id             INT UNSIGNED NOT NULL AUTO_INCREMENT,
  usergroup_id   INT UNSIGNED NOT NULL,  -- ax_usergroup.id
  application_id INT UNSIGNED NOT NULL,  -- ax_application.id
  PRIMARY KEY (id),
  KEY ix_application_usergroups_group (usergroup_id),
  KEY ix_application_usergroups_app (application_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_user_applicationgroups (
  id                  INT UNSIGNED NOT NULL AUTO_INCREMENT,
  user_id             VARCHAR(255) NOT NULL,  -- login name
  applicationgroup_id INT UNSIGNED NOT NULL,  -- ax_applicationgroup.id
  PRIMARY KEY (id),
  KEY ix_user_appgroups_user (user_id),
  KEY ix_user_appgroups_group (applicationgroup_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_usergroup_applicationgroups (
  id                  INT UNSIGNED NOT NULL AUTO_INCREMENT,
  usergroup_id        INT UNSIGNED NOT NULL,  -- ax_usergroup.id
  applicationgroup_id INT UNSIGNED NOT NULL,  -- ax_applicationgroup.id
  PRIMARY KEY (id),
  KEY ix_usergroup_appgroups_group (usergroup_id),
  KEY ix_usergroup_appgroups_appgroup (applicationgroup_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- ---------------------------------------------------------------------------
-- File types: extensions, mime types, and the applications that open them
-- ---------------------------------------------------------------------------

-- File-name extensions, without the dot ("pdf", "odt"). The extension text
-- itself is the key that the other tables refer to as "extension_id".
CREATE TABLE IF NOT EXISTS ax_extension (
  name        VARCHAR(32) NOT NULL,
  description VARCHAR(255) NULL,
  PRIMARY KEY (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_mimetype (
  id   INT UNSIGNED NOT NULL AUTO_INCREMENT,
  name VARCHAR(255) NOT NULL,  -- e.g. application/pdf
  PRIMARY KEY (id),
  UNIQUE KEY uq_mimetype_name (name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_mimetype_extensions (
  id           INT UNSIGNED NOT NULL AUTO_INCREMENT,
  mimetype_id  INT UNSIGNED NOT NULL,  -- ax_mimetype.id
  extension_id VARCHAR(32) NOT NULL,   -- ax_extension.name, e.g. 'pdf'
  PRIMARY KEY (id),
  KEY ix_mimetype_extensions_mime (mimetype_id),
  KEY ix_mimetype_extensions_ext (extension_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_application_mime_types (
  id             INT UNSIGNED NOT NULL AUTO_INCREMENT,
  application_id INT UNSIGNED NOT NULL,  -- ax_application.id
  mimetype_id    INT UNSIGNED NOT NULL,  -- ax_mimetype.id
  PRIMARY KEY (id),
  KEY ix_application_mime_types_app (application_id),
  KEY ix_application_mime_types_mime (mimetype_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- ---------------------------------------------------------------------------
-- Drive redirection: pairs of a path on the server and a drive/path on the
-- client, per server, per user and per user group.
-- ---------------------------------------------------------------------------

CREATE TABLE IF NOT EXISTS ax_storageredirection (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  server_id   INT UNSIGNED NOT NULL,  -- ax_server.id
  server_path VARCHAR(1024) NOT NULL,
  client_path VARCHAR(1024) NOT NULL,
  PRIMARY KEY (id),
  KEY ix_storageredirection_server (server_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_userstorageredirection (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  user_id     VARCHAR(255) NOT NULL,  -- login name
  server_path VARCHAR(1024) NOT NULL,
  client_path VARCHAR(1024) NOT NULL,
  PRIMARY KEY (id),
  KEY ix_userstorageredirection_user (user_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

CREATE TABLE IF NOT EXISTS ax_groupstorageredirection (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  group_id    INT UNSIGNED NOT NULL,  -- ax_usergroup.id
  server_path VARCHAR(1024) NOT NULL,
  client_path VARCHAR(1024) NOT NULL,
  PRIMARY KEY (id),
  KEY ix_groupstorageredirection_group (group_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;

-- ---------------------------------------------------------------------------
-- Activity log
-- ---------------------------------------------------------------------------

-- One row per session or application start/end reported by a server.
-- type_id: 1 session started, 2 session ended, 3 application started,
--          4 application ended.
CREATE TABLE IF NOT EXISTS ax_log (
  id         BIGINT UNSIGNED NOT NULL AUTO_INCREMENT,
  server_id  BIGINT NOT NULL,          -- ax_server.id of the reporting server (0 = unknown)
  user_id    VARCHAR(255) NOT NULL,    -- login name
  app_id     BIGINT NULL,              -- ax_application.id; NULL for session events
  text       VARCHAR(2048) NOT NULL,   -- human-readable description of the event
  time_stamp DATETIME NOT NULL,        -- UTC
  type_id    INT NOT NULL,
  PRIMARY KEY (id),
  KEY ix_log_time (time_stamp),
  KEY ix_log_user (user_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_unicode_ci;
